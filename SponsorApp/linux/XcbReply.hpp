#pragma once

// Ownership of what libxcb hands out with malloc: a reply, and the error of a request
// that has one.

#include <xcb/xcb.h>

#include <cstdlib>
#include <utility>

namespace nimbrella {

// Receives the error of a request that has a reply (such as a window that no longer
// exists): the missing reply says enough, and the error is not handed on to Qt.
struct DroppedError {
  xcb_generic_error_t* error = nullptr;
  DroppedError() = default;
  DroppedError(const DroppedError&) = delete;
  DroppedError& operator=(const DroppedError&) = delete;
  ~DroppedError() { std::free(error); }
  operator xcb_generic_error_t**() { return &error; }
};

template <typename Reply>
struct Owned {
  Reply* reply = nullptr;
  explicit Owned(Reply* r) : reply(r) {}
  ~Owned() { std::free(reply); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Reply* operator->() const { return reply; }
  explicit operator bool() const { return reply != nullptr; }
  Reply* release() { return std::exchange(reply, nullptr); }
};

}  // namespace nimbrella
