#include "index/index_format.h"

#include <cstring>

namespace vos {

RecordHead DecodeRecordHead(const uint8_t* bytes) {
  RecordHead head;
  int64_t n = bytes[0];
  head.key.length = bytes[0];
  std::memcpy(head.key.bytes.data(), bytes + 1, static_cast<size_t>(n));
  head.bitIndex = DecodeFixed32(bytes + BitIndexPosition(n));
  head.left = DecodeFixed32(bytes + LeftPosition(n));
  head.right = DecodeFixed32(bytes + RightPosition(n));
  head.postingCount = DecodeFixed32(bytes + PostingCountPosition(n));
  return head;
}

}  // namespace vos
