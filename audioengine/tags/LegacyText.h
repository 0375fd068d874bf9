// SPDX-License-Identifier: MIT
// Tag texts stored in an 8-bit legacy encoding (ID3v1, ID3v2 frames marked Latin-1,
// AIFF text chunks), decoded to UTF-8. Such tags were mostly written on Windows in
// its ANSI code page, Windows-1252 in the West: read as ISO-8859-1 their curly quotes
// and dashes would come out as C1 control characters.
#pragma once

#include <string>
#include <string_view>

namespace audioengine {

// The environment variable naming the code page of legacy tags: a Windows code page
// number ("1251") or any encoding name iconv knows ("KOI8-R", "SHIFT_JIS").
constexpr const char* kTagCodePageVariable = "AUDIOENGINE_TAG_CODEPAGE";

class LegacyCodePage {
  public:
    // Windows-1252.
    LegacyCodePage() = default;
    // The code page `name` names; Windows-1252 when it is empty or unknown to iconv.
    // Threads: any.
    explicit LegacyCodePage(const std::string& name);
    // The code page AUDIOENGINE_TAG_CODEPAGE names, read now.
    // Threads: any that do not change the environment meanwhile (getenv).
    static LegacyCodePage FromEnvironment();

    // The iconv name of the code page in use; "" for the built-in Windows-1252.
    const std::string& name() const { return iconvName_; }

    // `bytes` as UTF-8. ASCII stays as it is. On Linux so does text that is valid
    // UTF-8 with characters beyond ASCII (Linux taggers often store UTF-8 in frames
    // marked Latin-1, and legacy text is almost never valid UTF-8 by chance); on
    // Windows such text is taken in the code page too, so that the host gets back
    // the bytes its own tools wrote (a caller whose text is UTF-8 by contract checks
    // IsValidUtf8 first). Anything else is decoded in the code page, or in
    // Windows-1252 when it is not valid there: every byte becomes a character, so
    // nothing is lost. The one exception is a text cut inside a multi-byte character
    // at its end (a full ID3v1 field): it is read in the code page without that half
    // character.
    // Threads: any, concurrently.
    std::string ToUtf8(std::string_view bytes) const;

  private:
    std::string iconvName_;
};

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or code points
// beyond U+10FFFF).
// Threads: any.
bool IsValidUtf8(std::string_view bytes);

}  // namespace audioengine
