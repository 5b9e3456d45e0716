#pragma once

#include "SponsorCore/CreativeAsset.hpp"

#include <QImage>

#include <cstdint>
#include <vector>

namespace nimbrella {

// The image of a PNG file that CreativeAsset::safePNGData accepted, decoded by the same
// libpng that checked it (Qt's own reader would first load every image format plugin),
// in the format the painter draws fastest; a null image when it cannot be decoded.
inline QImage imageOfPng(const std::vector<std::uint8_t>& png) {
  const auto decoded = CreativeAsset::decodePNG(png);
  if (!decoded) return {};
  const QImage view(decoded->rgba.data(), static_cast<int>(decoded->width), static_cast<int>(decoded->height),
                    static_cast<qsizetype>(decoded->width) * 4, QImage::Format_RGBA8888);
  return view.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace nimbrella
