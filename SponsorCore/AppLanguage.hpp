#pragma once

namespace nimbrella {

// The two languages of every user-visible text.
enum class AppLanguage { en, it };

}  // namespace nimbrella
