#pragma once
// The lists that come from outside the program and extend its own: the items of
// the configuration reply's "noclean" and "bankclean" arrays and the lines of the
// two NoClean.txt files. Any program the user runs can write the NoClean.txt in
// the application-data folder, so each of these sources is held to caps that
// keep start-up, the hidden list boxes and a reset's marking quick (and within a
// 32-bit address space) whatever the source holds.
//
// An entry longer than the length cap is left out whole: a cut entry could
// protect processes other than the one its writer meant. Blank entries (every
// unit U+0000 to U+0020) match nothing, yet are added as they always were; they
// do not count toward the cap of entries and are held to a cap of their own, so
// that a file of nothing but line breaks stays small. Entries beyond either cap
// are ignored.
#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "vek/text.h"

namespace app {

struct ListCaps {
  size_t Entries = 10000;               // entries that are not blank, kept from one source
  size_t Length = 1024;                 // UTF-16 units of one entry, as written
  size_t FileBytes = size_t(16) << 20;  // bytes read of one file, byte-order mark included
  size_t Blanks = 10000;                // blank entries kept from one source
};
inline constexpr ListCaps kListCaps{};

// Whether every unit of an entry is U+0000 to U+0020 (an empty one too).
bool IsBlankEntry(vek::TextView entry);

// The kept entries of one source, in the order added.
class OutsideList {
 public:
  explicit OutsideList(const ListCaps& caps = kListCaps) : FCaps(caps) {}

  // Appends entry when it is short enough and its cap has room. Returns whether
  // there is still room for an entry that is not blank, so that a reader can
  // stop at once when there is none.
  bool Add(vek::Text entry);
  bool Full() const { return FCounted >= FCaps.Entries; }
  // Whether a blank entry would still be added.
  bool TakesBlanks() const { return !Full() && FBlanks < FCaps.Blanks; }
  std::vector<vek::Text> Take() { return std::move(FEntries); }

 private:
  ListCaps FCaps;
  std::vector<vek::Text> FEntries;
  size_t FCounted = 0, FBlanks = 0;
};

// Decodes one line of a file without a byte-order mark (the system's ANSI code
// page on Windows).
using AnsiDecoder = vek::Text (*)(std::string_view bytes);
// Reads up to size bytes into buffer and sets got to their number, 0 at the end
// of the file. False when reading failed.
using ByteReader = std::function<bool(char* buffer, size_t size, size_t& got)>;

// The kept lines of a NoClean.txt, read through read in chunks. A UTF-8 or
// UTF-16 (either byte order) byte-order mark selects that encoding, otherwise
// ansiToText decodes each line; lines end at CR LF, LF or CR and are kept as
// written, blanks around them included (OutsideList decides). An odd final byte
// of UTF-16 is dropped; unpaired surrogates, NULs and invalid UTF-8 (which
// becomes U+FFFD) stay in their lines. Reading stops once caps.Entries lines that are
// not blank are kept, and after caps.FileBytes bytes; a last line that the byte limit or a read
// failure cuts off is left out, the lines before it are kept. Memory stays
// within the kept entries and one line of at most 4 * caps.Length bytes.
std::vector<vek::Text> ReadNoCleanFile(const ByteReader& read, AnsiDecoder ansiToText, const ListCaps& caps = kListCaps);

}  // namespace app
