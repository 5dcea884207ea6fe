// Patched-state detection over the check block: the unbroken run of Check
// commands directly after the header.
#include <algorithm>
#include <cstring>

#include "engine/patcher.h"
#include "engine/sha256.h"
#include "platform/platform.h"

namespace {

// Whether the region holds its digest. The target is left where one read of
// the whole region would leave it: past the bytes the target supplied.
bool regionMatches(FILE* target, const CheckRecord& record, uint8_t* buffer,
                   size_t bufferSize) {
  if (record.offset > kMaxPosition) return false;
  int64_t offset = static_cast<int64_t>(record.offset);
  if (!platform::seekStream(target, 0, SEEK_END)) return false;
  int64_t size = platform::tellStream(target);
  if (size < 0) return false;
  // A region that runs past the end never matches; its bytes need no reading.
  if (record.length > 0 &&
      (offset >= size || record.length > static_cast<uint64_t>(size - offset))) {
    int64_t stop = std::max(offset, size);
    platform::seekStream(target, stop, SEEK_SET);
    return false;
  }
  if (!platform::seekStream(target, offset, SEEK_SET)) return false;
  // Hashed in pieces, so any region length needs bounded memory.
  Sha256 hash;
  for (uint64_t left = record.length; left > 0;) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(left, bufferSize));
    size_t got = std::fread(buffer, 1, piece, target);
    hash.update(buffer, got);
    if (got < piece) return false;
    left -= piece;
  }
  uint8_t digest[kSha256Size];
  hash.finish(digest);
  return std::memcmp(digest, record.digest, kSha256Size) == 0;
}

}  // namespace

bool Patcher::isAlreadyPatched() {
  uint8_t op = 0;
  if (!readContainer(&op, 1) || op != OpCheck) return false;
  for (;;) {
    uint8_t fields[kCheckRecordSize];
    if (!readContainer(fields, kCheckRecordSize)) return false;
    // writeBuffer is idle until the first Write, so it serves as the region
    // buffer here.
    if (!regionMatches(target, decodeCheckRecord(fields), writeBuffer,
                       kWriteBufferSize)) {
      return false;
    }
    if (!readContainer(&op, 1)) return false;
    if (op != OpCheck) return true;
  }
}
