// The frame list on arbitrary text. The entries must give back the text
// exactly: each name, then its line end ("\n" or "\r\n", and for the last
// line also a lone "\r" or nothing), with a name never ending in the "\r" of
// a line end it did not take. Joining the names with "\r\n" re-parses to the
// same list, and so does joining them with "\n" when no name ends in "\r" and
// the last is not empty. ReadFrameList gives the same entries from a file.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "stillreel/stillreel.hpp"

namespace {

std::string Shown(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 60)) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      out += '?';
    } else {
      out += c;
    }
  }
  return text.size() > 60 ? out + "..." : out;
}

std::string Joined(const std::vector<std::string>& names, std::string_view end) {
  std::string text;
  for (const std::string& name : names) {
    text += name;
    text += end;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using stillreel::Result;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> names = stillreel::ParseFrameList(text);

  std::size_t at = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const bool last = i + 1 == names.size();
    FUZZ_CHECK(name.find('\n') == std::string::npos,
               "entry " << i << " \"" << Shown(name) << "\" holds a line end");
    FUZZ_CHECK(text.substr(at, name.size()) == name,
               "entry " << i << ": have \"" << Shown(name) << "\", the text at byte " << at
                        << " is \"" << Shown(text.substr(at)) << "\"");
    at += name.size();
    const std::string_view rest = text.substr(at);
    const bool endsInCr = !name.empty() && name.back() == '\r';
    if (rest.starts_with("\r\n")) {
      at += 2;
    } else if (rest.starts_with("\n")) {
      FUZZ_CHECK(!endsInCr,
                 "entry " << i << " \"" << Shown(name) << "\" kept the \\r of its \\r\\n");
      at += 1;
    } else {
      FUZZ_CHECK(last, "entry " << i << " of " << names.size() << " is followed by \""
                                << Shown(rest) << "\", not a line end");
      if (rest == "\r") {
        at += 1;
      } else {
        FUZZ_CHECK(!endsInCr, "the last entry \"" << Shown(name) << "\" kept its final \\r");
      }
    }
  }
  FUZZ_CHECK(at == text.size(), "entries cover " << at << " of " << text.size()
                                                 << " bytes; the rest is \""
                                                 << Shown(text.substr(at)) << "\"");

  FUZZ_CHECK(stillreel::ParseFrameList(Joined(names, "\r\n")) == names,
             "names joined with \\r\\n parse to another list (" << names.size() << " entries)");
  bool plain = names.empty() || !names.back().empty();
  for (const std::string& name : names)
    plain = plain && (name.empty() || name.back() != '\r');
  if (plain) {
    std::string joined = Joined(names, "\n");
    if (!joined.empty()) joined.pop_back();  // no newline after the last name
    FUZZ_CHECK(stillreel::ParseFrameList(joined) == names,
               "names joined with \\n parse to another list (" << names.size() << " entries)");
  }

  const auto path = stillreel::fuzz::ScratchDir::Get() / "list.txt";
  stillreel::fuzz::WriteBytes(path, {data, size});
  std::vector<std::string> read;
  const Result result = stillreel::ReadFrameList(path, read);
  const Result want = names.empty() ? Result::kListUnreadable : Result::kOk;
  FUZZ_CHECK(result == want, "ReadFrameList: have result " << static_cast<int>(result) << ", want "
                                                           << static_cast<int>(want));
  if (result == Result::kOk) {
    FUZZ_CHECK(read == names, "ReadFrameList: have " << read.size() << " entries, ParseFrameList "
                                                     << names.size());
  }
  return 0;
}
