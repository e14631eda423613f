// The index's ISO-8859-1 and the user's character set. UTF-8 and ISO-8859-1 are converted here directly (they
// are the usual cases and a key at a time must be cheap); any other set goes through iconv.
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "reader/reader.h"

namespace vos {

struct CharsetConverter {
  enum class Kind { kUtf8, kLatin1, kIconv } kind = Kind::kLatin1;
  iconv_t toUser = reinterpret_cast<iconv_t>(-1);    // ISO-8859-1 -> the set
  iconv_t fromUser = reinterpret_cast<iconv_t>(-1);  // the set -> ISO-8859-1
  iconv_t toCodePoints = reinterpret_cast<iconv_t>(-1);  // the set -> UTF-32LE, to name what Latin-1 lacks
  std::mutex busy;  // an iconv descriptor keeps state between calls
  ~CharsetConverter() {
    for (iconv_t cd : {toUser, fromUser, toCodePoints}) {
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
  }
};

namespace {

using Kind = CharsetConverter::Kind;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Lower case without the punctuation, so that "UTF-8", "utf8" and "Utf_8" compare equal.
std::string Simplified(std::string_view name) {
  std::string simple;
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') simple.push_back(static_cast<char>(c + 0x20));
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) simple.push_back(c);
  }
  return simple;
}

std::string CodePointName(uint32_t codePoint) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(codePoint));
  return text;
}

// Runs `cd` over all of `input`, appending to `output`. Stops at the first character it cannot take: gives the
// number of bytes consumed and the errno of the stop, 0 when everything went.
int Convert(iconv_t cd, std::string_view input, std::string& output, size_t& consumed) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  int stop = 0;
  while (inLeft > 0) {
    char buffer[4096];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    size_t result = iconv(cd, &in, &inLeft, &out, &outLeft);
    output.append(buffer, static_cast<size_t>(out - buffer));
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      stop = errno;
      break;
    }
  }
  if (stop == 0) {
    char buffer[64];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &out, &outLeft);
    output.append(buffer, static_cast<size_t>(out - buffer));
  }
  consumed = input.size() - inLeft;
  return stop;
}

}  // namespace

bool OpenCharset(std::string_view name, Charset& charset, std::string& error) {
  std::string wanted(name);
  if (wanted.empty()) {
    wanted = nl_langinfo(CODESET);
    // The C locale's ASCII says nothing about bytes above 127; they pass as the index holds them.
    if (wanted == "ANSI_X3.4-1968" || wanted.empty()) wanted = "ISO-8859-1";
  }
  auto converter = std::make_shared<CharsetConverter>();
  std::string simple = Simplified(wanted);
  if (simple == "utf8") {
    converter->kind = Kind::kUtf8;
    charset.name = "UTF-8";
  } else if (simple == "latin1" || simple == "iso88591" || simple == "l1" || simple == "iso885911987") {
    converter->kind = Kind::kLatin1;
    charset.name = "ISO-8859-1";
  } else {
    converter->kind = Kind::kIconv;
    converter->toUser = iconv_open(wanted.c_str(), "ISO-8859-1");
    converter->fromUser = iconv_open("ISO-8859-1", wanted.c_str());
    converter->toCodePoints = iconv_open("UTF-32LE", wanted.c_str());
    if (converter->toUser == kNoConverter || converter->fromUser == kNoConverter ||
        converter->toCodePoints == kNoConverter) {
      error = "unknown character set '" + wanted + "'";
      return false;
    }
    charset.name = wanted;
  }
  charset.converter = std::move(converter);
  return true;
}

namespace {

// Sized once and filled, since listings convert megabytes of keys.
void AppendUtf8(std::string_view latin1, std::string& utf8) {
  size_t high = 0;
  for (char c : latin1) high += static_cast<uint8_t>(c) >> 7;
  size_t at = utf8.size();
  utf8.resize(at + latin1.size() + high);
  Latin1ToUtf8(latin1, utf8.data() + at);
}

}  // namespace

char* Latin1ToUtf8(std::string_view latin1, char* out) {
  const char* in = latin1.data();
  const char* end = in + latin1.size();
  while (in < end) {
    // Eight ASCII bytes at a time, which is most of a German key.
    uint64_t word;
    if (end - in >= 8 && (std::memcpy(&word, in, 8), (word & 0x8080808080808080u) == 0)) {
      std::memcpy(out, &word, 8);
      in += 8;
      out += 8;
      continue;
    }
    auto byte = static_cast<uint8_t>(*in++);
    if (byte < 0x80) {
      *out++ = static_cast<char>(byte);
    } else {
      *out++ = static_cast<char>(0xC0 | (byte >> 6));
      *out++ = static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string utf8;
  utf8.reserve(latin1.size() + latin1.size() / 8);
  AppendUtf8(latin1, utf8);
  return utf8;
}

void AppendToUser(const Charset& charset, std::string_view latin1, std::string& out) {
  switch (charset.converter->kind) {
    case Kind::kUtf8: AppendUtf8(latin1, out); return;
    case Kind::kLatin1: out.append(latin1); return;
    case Kind::kIconv: out += ToUser(charset, latin1); return;
  }
}

ConvertOutcome Utf8ToLatin1(std::string_view utf8, std::string& latin1, std::string& problem) {
  latin1.clear();
  for (size_t i = 0; i < utf8.size();) {
    auto lead = static_cast<uint8_t>(utf8[i]);
    if (lead < 0x80) {
      latin1.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // The sequence's length and the smallest code point it may carry (longer forms of smaller ones are invalid).
    size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    uint32_t codePoint = length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool valid = length != 0 && i + length <= utf8.size();
    for (size_t k = 1; valid && k < length; ++k) {
      auto next = static_cast<uint8_t>(utf8[i + k]);
      valid = (next & 0xC0) == 0x80;
      codePoint = codePoint << 6 | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (codePoint < kSmallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      problem = "invalid UTF-8 at byte " + std::to_string(i + 1);
      return ConvertOutcome::kInvalid;
    }
    if (codePoint > 0xFF) {
      problem = CodePointName(codePoint);
      return ConvertOutcome::kNotLatin1;
    }
    latin1.push_back(static_cast<char>(codePoint));
    i += length;
  }
  return ConvertOutcome::kOk;
}

std::string ToUser(const Charset& charset, std::string_view latin1) {
  CharsetConverter& converter = *charset.converter;
  if (converter.kind == Kind::kUtf8) return Latin1ToUtf8(latin1);
  if (converter.kind == Kind::kLatin1) return std::string(latin1);
  std::lock_guard<std::mutex> lock(converter.busy);
  std::string user;
  while (!latin1.empty()) {
    size_t consumed = 0;
    if (Convert(converter.toUser, latin1, user, consumed) == 0) break;
    // A set named with //IGNORE takes everything and only then reports that it dropped something.
    if (consumed >= latin1.size()) break;
    user.push_back('?');
    latin1.remove_prefix(consumed + 1);
  }
  return user;
}

ConvertOutcome FromUser(const Charset& charset, std::string_view text, std::string& latin1, std::string& problem) {
  CharsetConverter& converter = *charset.converter;
  if (converter.kind == Kind::kUtf8) return Utf8ToLatin1(text, latin1, problem);
  latin1.clear();
  if (converter.kind == Kind::kLatin1) {
    latin1.assign(text);
    return ConvertOutcome::kOk;
  }
  std::lock_guard<std::mutex> lock(converter.busy);
  size_t consumed = 0;
  int stop = Convert(converter.fromUser, text, latin1, consumed);
  if (stop == 0) return ConvertOutcome::kOk;
  // Either the input is not valid in its set, or it holds a character ISO-8859-1 has no place for: the set's
  // own decoding tells which, and names the character.
  std::string codePoints;
  size_t decoded = 0;
  Convert(converter.toCodePoints, text.substr(consumed), codePoints, decoded);
  if (stop == EILSEQ && codePoints.size() >= 4) {
    auto byte = [&codePoints](size_t i) { return uint32_t{static_cast<uint8_t>(codePoints[i])}; };
    problem = CodePointName(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
    return ConvertOutcome::kNotLatin1;
  }
  problem = "not valid " + charset.name + " at byte " + std::to_string(consumed + 1);
  return ConvertOutcome::kInvalid;
}

}  // namespace vos
