// The records read back from the keyring, on arbitrary bytes: decoding either yields a
// record or a DecodingError, and whatever decodes encodes again and decodes to itself.

#include "SponsorApp/storage/StoredRecords.hpp"

#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

template <class Record>
void roundTrip(std::span<const std::uint8_t> data) {
  try {
    const Record record = nimbrella::decodeRecord<Record>(data);
    const nimbrella::SecretBytes again = nimbrella::encodeRecord(record);
    if (!(nimbrella::decodeRecord<Record>(again) == record)) std::abort();
  } catch (const nimbrella::DecodingError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  roundTrip<nimbrella::DeviceCredential>(bytes);
  roundTrip<nimbrella::PersistedCompletion>(bytes);
  return 0;
}
