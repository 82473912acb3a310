// Reading xPL messages.
//
// An xPL text is a sequence of blocks: a name line, "{", pair lines of the
// form name=value, "}", every line ended by a line feed alone. Block 0 is the
// header (its name is the message type, its pairs hop, source and target);
// block 1 is the schema block (its name is the schema, its pairs the body).
// A pair's separator is the first "=" after the start of its name, or an
// earlier "!". Names are kept trimmed and upper-cased; header values trimmed;
// every other value exactly as received.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/reporter.h"

namespace tessaly {

struct XplPair {
  std::string Name;
  std::string Value;
};

// One block of the last parse.
struct XplBlock {
  std::string Section;            // the block name, trimmed and upper-cased
  std::vector<XplPair> Pairs;     // in the order of the lines
  std::int16_t LastPair = -1;     // index of the last pair; -1 while none
};

// A checked device address: vendor-device.instance, letter case as given.
struct xplAddress {
  bool Valid = false;
  std::string Vendor;
  std::string Device;
  std::string Instance;
};

// One validated message. The empty record (all texts empty, numbers 0, no
// names or values) stands for a message that is not usable.
struct xplMessage {
  std::string MsgType;             // "XPL-CMND", "XPL-STAT" or "XPL-TRIG"
  std::int16_t Hop = 0;
  std::string Source;              // vendor-device.instance, rebuilt from the check
  std::string Target;              // as received; "*" for broadcast
  std::string Schema;              // upper-cased
  std::int16_t NamePairs = 0;      // number of body pairs
  // Body names (upper-cased) and values (as received), indexes 0 to
  // NamePairs: the element at NamePairs is an empty extra.
  std::vector<std::string> Names;
  std::vector<std::string> Values;

  bool operator==(const xplMessage&) const = default;
};

// The parse table of the last xPL text and the operations that fill and read
// it. Every parse replaces the table; look-ups read the most recent parse.
// Not for concurrent use.
class XplParser {
 public:
  // At most this many blocks in a text and pairs in a block, so that indexes
  // and counts fit 16 bits; a text with more fails to parse.
  static constexpr std::int16_t kMaxEntries = INT16_MAX;

  // Unexpected failures go to `reporter` as ("Tessaly", operation name,
  // description).
  explicit XplParser(Reporter& reporter) : reporter_(reporter) {}

  // Parses `text` into the table. True when at least one block was read and
  // the first block names a known message type. Text after the last block
  // that opens no further block is ignored. False, with an empty table, when
  // there is no block opening, the type is unknown, a pair has no separator
  // after it, a value has no line feed after it, or a limit is passed.
  bool xPL_Extract(std::string_view text);

  // The value of the first pair named `name` (any letter case) in block 1
  // (`inBody`) or block 0 of the last parse, spaces trimmed when `doTrim`;
  // "" when there is no such pair or block.
  std::string xPL_GetParam(bool inBody, std::string_view name, bool doTrim) const;

  // Parses `text` and validates it: the source must be a valid address, the
  // target "*" or a valid address, and a schema block with a valid schema
  // name must follow the header. Otherwise, and when `text` does not parse,
  // the empty record. A hop that is not a 16-bit number is reported under
  // "xPL_xplMessage" and gives the empty record; a missing or empty hop is 0.
  xplMessage xPL_xplMessage(std::string_view text);

  const std::vector<XplBlock>& XplFields() const { return XplFields_; }
  // Index of the last block of the last parse; -1 when it read none or failed.
  std::int16_t XplLastBlock() const { return XplLastBlock_; }

 private:
  bool Parse(std::string_view text);
  void Clear();

  Reporter& reporter_;
  std::vector<XplBlock> XplFields_;
  std::int16_t XplLastBlock_ = -1;
};

// Checks an xPL device address "vendor-device.instance": letters and digits
// only, vendor and device 1 to 8 characters, instance 1 to 16. Never fails;
// an unusable text is not valid.
xplAddress xPL_CheckAddress(std::string_view s);

// Checks a schema name "class.type": letters and digits and at most one ".",
// neither first nor last nor after the ninth character, under 18 characters
// in all. A name without "." passes; the empty name does not.
bool xPL_CheckSchema(std::string_view s);

}  // namespace tessaly
