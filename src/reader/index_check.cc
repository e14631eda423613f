// The index verifier. It first walks the records back to back from the head, which bounds the number of records by
// the file's size, and keeps a small summary of each; every later step works on those summaries (and rereads keys
// one record at a time), so no corrupt link, count or bit index can make it read outside the file or loop.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "index/index_format.h"
#include "reader/index_storage.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

constexpr int32_t kNoRecord = -1;

struct RecordSummary {
  int64_t recordOffset = 0;
  int32_t bitIndex = 0;
  int32_t left = 0;                 // as stored
  int32_t right = 0;
  int32_t leftIndex = kNoRecord;    // position of the link's target in file order, when it starts a record
  int32_t rightIndex = kNoRecord;
  int32_t parent = kNoRecord;       // the record whose down link reaches this one
  int32_t downLinksIn = 0;
  int64_t enter = 0;                // depth-first times over down links, for the ancestor test of back links
  int64_t exit = 0;
};

// A key as it can be shown in a message: printable bytes as they are, others as \xHH.
std::string ShowKey(std::string_view key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown = "'";
  for (char c : key) {
    auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F || byte == '\\' || byte == '\'') {
      shown += "\\x";
      shown.push_back(kHex[byte >> 4]);
      shown.push_back(kHex[byte & 15]);
    } else {
      shown.push_back(static_cast<char>(byte));
    }
  }
  shown += "'";
  return shown;
}

struct Checker {
  const IndexFile& index;
  CheckReport report;
  size_t limit;
  std::vector<RecordSummary> records;

  void Problem(std::string text) {
    ++report.problemCount;
    if (report.problems.size() < limit) report.problems.push_back(std::move(text));
  }

  RecordSummary& At(int32_t index) { return records[static_cast<size_t>(index)]; }
  const RecordSummary& At(int32_t index) const { return records[static_cast<size_t>(index)]; }

  std::string Name(int32_t index) const { return RecordName(At(index).recordOffset); }

  bool IsDownLink(int32_t from, int32_t to) const {
    return to != kNoRecord && At(to).bitIndex < At(from).bitIndex;
  }

  int32_t IndexOf(int64_t recordOffset) const {
    auto it = std::lower_bound(records.begin(), records.end(), recordOffset,
                               [](const RecordSummary& r, int64_t offset) { return r.recordOffset < offset; });
    if (it == records.end() || it->recordOffset != recordOffset) return kNoRecord;
    return static_cast<int32_t>(it - records.begin());
  }

  // Walks the records back to back; false when they do not fill the file exactly (the rest cannot be located).
  bool ReadAllRecords(int32_t& maxKeyLength, int32_t& maxPostingCount) {
    std::string error, scratch;
    RecordView record;
    maxKeyLength = 0;
    maxPostingCount = 1;
    for (int64_t offset = 0; kHeaderSize + offset < index.size; offset += record.size) {
      if (records.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        Problem("too many records");
        return false;
      }
      if (ViewRecord(index, offset, Access::kSequential, true, record, scratch, error) != RecordFault::kNone) {
        Problem(error);
        return false;
      }
      bool isHead = records.empty();
      const RecordView& head = record;
      std::string name = RecordName(offset);
      if (isHead) {
        if (head.bitIndex != kTopBitIndex) Problem("the head has bit index " + Decimal(head.bitIndex) + ", not 800");
        if (!head.key.empty()) Problem("the head holds the key " + ShowKey(head.key) + " instead of the empty key");
        if (head.postingCount != 0) Problem("the head has " + Decimal(head.postingCount) + " postings, not 0");
      } else {
        if (head.bitIndex < 0 || head.bitIndex >= kTopBitIndex) {
          Problem(name + " has bit index " + Decimal(head.bitIndex) + " outside 0..799");
        }
        if (head.postingCount < 1) Problem(name + " has no postings");
        // The writer never files the empty key, and no look-up asks for it: such a record would be listed by some
        // searches and missed by others.
        if (head.key.empty()) Problem(name + " holds the empty key");
      }
      for (int32_t i = 0, previous = 0; i < record.postingCount; ++i) {
        int32_t posting = DecodeFixed32(record.postings + 4 * i);
        if (posting < 0) {
          Problem(name + " has a negative entry offset " + Decimal(posting));
          break;
        }
        if (i > 0 && posting <= previous) {
          Problem(name + " has postings out of ascending order");
          break;
        }
        previous = posting;
      }
      maxKeyLength = std::max(maxKeyLength, static_cast<int32_t>(head.key.size()));
      maxPostingCount = std::max(maxPostingCount, head.postingCount);
      RecordSummary summary;
      summary.recordOffset = offset;
      summary.bitIndex = head.bitIndex;
      summary.left = head.left;
      summary.right = head.right;
      records.push_back(summary);
      report.recordCount = static_cast<int64_t>(records.size());
    }
    return true;
  }

  void ResolveLinks() {
    for (size_t i = 0; i < records.size(); ++i) {
      RecordSummary& r = records[i];
      r.leftIndex = IndexOf(r.left);
      r.rightIndex = IndexOf(r.right);
      if (r.leftIndex == kNoRecord) {
        Problem(RecordName(r.recordOffset) + ": left link " + Decimal(r.left) + " is not the start of a record");
      }
      if (r.rightIndex == kNoRecord) {
        Problem(RecordName(r.recordOffset) + ": right link " + Decimal(r.right) + " is not the start of a record");
      }
    }
  }

  // Breadth-first from the head over down links: every record must be met exactly once, in file order.
  bool CheckReachability() {
    bool sound = true;
    std::vector<int32_t> order = {0};
    std::vector<bool> reached(records.size(), false);
    reached[0] = true;
    for (size_t front = 0; front < order.size(); ++front) {
      int32_t from = order[front];
      for (int32_t to : {At(from).leftIndex, At(from).rightIndex}) {
        if (!IsDownLink(from, to)) continue;
        RecordSummary& target = At(to);
        if (++target.downLinksIn == 2) {
          Problem(Name(to) + " is reached by more than one down link");
          sound = false;
        }
        if (reached[static_cast<size_t>(to)]) continue;
        reached[static_cast<size_t>(to)] = true;
        target.parent = from;
        order.push_back(to);
      }
    }
    int64_t unreached = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      if (reached[i]) continue;
      if (++unreached <= 3) Problem(Name(static_cast<int32_t>(i)) + " is not reachable from the head by down links");
    }
    if (unreached > 3) Problem(Decimal(unreached - 3) + " more records are not reachable from the head");
    if (unreached > 0) sound = false;
    if (!sound) return false;
    for (size_t i = 0; i < order.size(); ++i) {
      if (order[i] != static_cast<int32_t>(i)) {
        Problem("records are not in breadth-first order: " + Name(order[i]) + " stands where " +
                Name(static_cast<int32_t>(i)) + " is");
        break;
      }
    }
    return true;
  }

  // Depth-first enter and exit times over the tree of down links, so that "A lies on the way from the head to B"
  // is one comparison. Iterative: the depth is bounded by the records' count, not by the stack.
  void NumberTree() {
    std::vector<std::pair<int32_t, int>> stack = {{0, 0}};
    int64_t clock = 0;
    records[0].enter = clock++;
    while (!stack.empty()) {
      auto& [node, next] = stack.back();
      const RecordSummary& r = At(node);
      int32_t child = kNoRecord;
      while (next < 2 && child == kNoRecord) {
        int32_t to = next == 0 ? r.leftIndex : r.rightIndex;
        ++next;
        if (IsDownLink(node, to) && At(to).parent == node) child = to;
      }
      if (child == kNoRecord) {
        At(node).exit = clock++;
        stack.pop_back();
        continue;
      }
      At(child).enter = clock++;
      stack.push_back({child, 0});
    }
  }

  bool OnPathTo(int32_t ancestor, int32_t node) const {
    const RecordSummary& a = At(ancestor);
    const RecordSummary& n = At(node);
    return a.enter <= n.enter && n.exit <= a.exit;
  }

  void CheckBackLinks() {
    for (size_t i = 0; i < records.size(); ++i) {
      auto from = static_cast<int32_t>(i);
      const RecordSummary& r = records[i];
      for (int32_t to : {r.leftIndex, r.rightIndex}) {
        if (to == kNoRecord || IsDownLink(from, to) || OnPathTo(to, from)) continue;
        Problem(Name(from) + " has a back link to " + Name(to) + ", which is not on its way from the head");
      }
    }
  }

  // The descent for every stored key, over the summaries; bit indices are known to be in range and falling.
  void CheckDescents() {
    std::string error, scratch;
    RecordView record;
    for (size_t i = 1; i < records.size(); ++i) {
      if (ViewRecord(index, records[i].recordOffset, Access::kSequential, false, record, scratch, error) !=
          RecordFault::kNone) {
        Problem(error);
        return;
      }
      const ShortString key = MakeShortString(record.key);
      int32_t current = 0;
      int32_t next;
      for (;;) {
        const RecordSummary& r = At(current);
        next = KeyBit(key, r.bitIndex) ? r.rightIndex : r.leftIndex;
        if (!IsDownLink(current, next)) break;
        current = next;
      }
      if (next != static_cast<int32_t>(i)) {
        Problem("the key " + ShowKey(record.key) + " of " + Name(static_cast<int32_t>(i)) +
                " is not found by its own descent");
      }
    }
  }
};

}  // namespace

CheckReport CheckIndex(const IndexFile& index, size_t problemLimit) {
  Checker checker{index, {}, problemLimit, {}};
  int32_t maxKeyLength = 0, maxPostingCount = 0;
  if (!checker.ReadAllRecords(maxKeyLength, maxPostingCount)) return checker.report;
  if (index.maxKeyLength != maxKeyLength) {
    checker.Problem("the header gives the longest key as " + Decimal(index.maxKeyLength) + ", the records " +
                    Decimal(maxKeyLength));
  }
  if (index.maxPostingCount != maxPostingCount) {
    checker.Problem("the header gives the most postings as " + Decimal(index.maxPostingCount) + ", the records " +
                    Decimal(maxPostingCount));
  }
  // The structural checks below rely on every bit index being in range; without that, stop here.
  bool bitIndicesSound =
      checker.records[0].bitIndex == kTopBitIndex &&
      std::all_of(checker.records.begin() + 1, checker.records.end(),
                  [](const RecordSummary& r) { return r.bitIndex >= 0 && r.bitIndex < kTopBitIndex; });
  int64_t before = checker.report.problemCount;
  checker.ResolveLinks();
  if (!bitIndicesSound || checker.report.problemCount != before) return checker.report;
  if (!checker.CheckReachability()) return checker.report;
  checker.NumberTree();
  checker.CheckBackLinks();
  checker.CheckDescents();
  return checker.report;
}

}  // namespace vos
