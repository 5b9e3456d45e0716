// Stored preferences are untrusted bytes: reading them must never crash, must yield either
// the defaults' shape or the locked preferences, and whatever it accepts must survive a
// save and a second load unchanged.
#include "SponsorCore/Calendar.hpp"
#include "SponsorCore/SponsorPreferences.hpp"
#include "SponsorCore/UserDefaults.hpp"
#include "SponsorCore/Uuid.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace nimbrella;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InMemoryUserDefaults store;
  store.setData(sponsorPreferencesKey, UserDefaults::Bytes(data, data + size));
  const SponsorPreferences loaded = SponsorPreferences::load(store, sponsorPreferencesKey);

  if (loaded.blockedSponsors.size() > SponsorPreferences::maxBlockedSponsors) std::abort();
  for (const auto& entry : loaded.blockedSponsors) {
    if (!isUuidText(entry.id)) std::abort();
  }
  for (const int day : loaded.weekdays) {
    if (day < 1 || day > 7) std::abort();
  }
  if (loaded.startMinute < 0 || loaded.startMinute > 1439 || loaded.endMinute < 0 || loaded.endMinute > 1439) {
    std::abort();
  }

  InMemoryUserDefaults copy;
  if (loaded.save(copy, sponsorPreferencesKey)) std::abort();  // every loaded value encodes
  if (SponsorPreferences::load(copy, sponsorPreferencesKey) != loaded) std::abort();

  static const Calendar rome("Europe/Rome");
  (void)loaded.allowsTime(Date(std::chrono::seconds(1'780'000'000)), rome);
  (void)loaded.allows(std::string_view(reinterpret_cast<const char*>(data), size > 36 ? 36 : size), std::nullopt);
  (void)loaded.filters();
  return 0;
}
