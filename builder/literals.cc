#include "builder/literals.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Differences at most this many equal bytes apart share one Write: a new
// Write would cost at least that much in op, step and length bytes.
constexpr uint64_t kMergeGap = 2;
// A run of one value this long inside a stretch goes out as a Fill: 18
// bytes, plus the Write that resumes after it.
constexpr uint64_t kMinFillRun = 24;
constexpr uint64_t kPiece = 1u << 20;

uint64_t movesEnd(const FileView& old, const std::vector<Copy>& moves) {
  uint64_t size = old.size;
  for (const Copy& m : moves) size = std::max(size, m.destination + m.length);
  return size;
}

// Emits NEW's bytes [a, b) as Writes and Fills.
bool emitStretch(const FileView& fresh, uint64_t a, uint64_t b,
                 ContainerWriter* writer) {
  const uint8_t* p = fresh.data;
  uint64_t start = a;
  uint64_t i = a;
  while (i < b) {
    uint64_t j = i + 1;
    while (j < b && p[j] == p[i]) ++j;
    if (j - i >= kMinFillRun) {
      if (i > start && !writer->write(start, p + start, i - start)) {
        return false;
      }
      if (!writer->fill(i, j - i, p[i])) return false;
      start = j;
    }
    i = j;
  }
  return start >= b || writer->write(start, p + start, b - start);
}

}  // namespace

bool replayInMemory(const FileView& old, const std::vector<Copy>& moves,
                    Replay* replay, std::string* error) {
  replay->size = movesEnd(old, moves);
  replay->bytes.clear();
  replay->bytes.reserve(static_cast<size_t>(replay->size));
  replay->bytes.assign(old.data, old.data + old.size);
  replay->bytes.resize(static_cast<size_t>(replay->size), 0);
  uint8_t* t = replay->bytes.data();
  for (const Copy& m : moves) {
    std::memmove(t + m.destination, t + m.source,
                 static_cast<size_t>(m.length));
  }
  (void)error;
  return true;
}

bool replayOnFile(const FileView& old, const std::vector<Copy>& moves,
                  const std::string& directory, Replay* replay,
                  std::string* error) {
  replay->fd = createTempFile(directory, "patchmaker-replay", &replay->path);
  if (replay->fd < 0) {
    *error = "cannot create a temporary file in " + directory;
    return false;
  }
  if (!copyToDescriptor(old, replay->fd, error)) return false;
  replay->size = movesEnd(old, moves);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kPiece]);
  if (!buffer) {
    *error = "not enough memory";
    return false;
  }
  uint64_t fileSize = old.size;
  for (const Copy& m : moves) {
    // Same outcome as a copy through a temporary: the direction keeps every
    // source piece unread-over until it is read.
    bool up = m.source < m.destination;
    for (uint64_t done = 0; done < m.length;) {
      uint64_t piece = std::min<uint64_t>(kPiece, m.length - done);
      uint64_t at = up ? m.length - done - piece : done;
      uint64_t from = m.source + at;
      uint64_t got = from < fileSize ? std::min(piece, fileSize - from) : 0;
      if (got > 0 && !preadAll(replay->fd, buffer.get(), got, from)) {
        *error = "cannot read a temporary file";
        return false;
      }
      std::memset(buffer.get() + got, 0, static_cast<size_t>(piece - got));
      if (!pwriteAll(replay->fd, buffer.get(), piece, m.destination + at)) {
        *error = "cannot write a temporary file";
        return false;
      }
      fileSize = std::max(fileSize, m.destination + at + piece);
      done += piece;
    }
  }
  return true;
}

void closeReplay(Replay* replay) {
  if (replay->fd >= 0) {
    close(replay->fd);
    unlink(replay->path.c_str());
  }
  replay->fd = -1;
  replay->path.clear();
  replay->bytes.clear();
  replay->bytes.shrink_to_fit();
}

bool emitLiterals(const Replay& replay, const FileView& fresh,
                  ContainerWriter* writer, std::string* error) {
  std::unique_ptr<uint8_t[]> buffer;
  if (replay.fd >= 0) {
    buffer.reset(new (std::nothrow) uint8_t[kPiece]);
    if (!buffer) {
      *error = "not enough memory";
      return false;
    }
  }
  bool open = false;  // a differing stretch [start, last] is pending
  uint64_t start = 0;
  uint64_t last = 0;
  uint64_t end = 0;  // the target's size once the literals are written
  for (uint64_t at = 0; at < fresh.size; at += kPiece) {
    uint64_t n = std::min<uint64_t>(kPiece, fresh.size - at);
    const uint8_t* t;
    if (replay.fd >= 0) {
      uint64_t got = at < replay.size ? std::min(n, replay.size - at) : 0;
      if (got > 0 && !preadAll(replay.fd, buffer.get(), got, at)) {
        *error = "cannot read a temporary file";
        return false;
      }
      std::memset(buffer.get() + got, 0, static_cast<size_t>(n - got));
      t = buffer.get();
    } else {
      // Past the replayed size the target reads as zero.
      if (at + n <= replay.size) {
        t = replay.bytes.data() + at;
      } else {
        if (!buffer) buffer.reset(new (std::nothrow) uint8_t[kPiece]);
        if (!buffer) {
          *error = "not enough memory";
          return false;
        }
        uint64_t got = at < replay.size ? replay.size - at : 0;
        if (got > 0) std::memcpy(buffer.get(), replay.bytes.data() + at, got);
        std::memset(buffer.get() + got, 0, static_cast<size_t>(n - got));
        t = buffer.get();
      }
    }
    const uint8_t* f = fresh.data + at;
    uint64_t i = 0;
    while (i < n) {
      i += commonPrefix(t + i, f + i, n - i);
      if (i >= n) break;
      uint64_t p = at + i;
      if (open && p - last - 1 > kMergeGap) {
        if (!emitStretch(fresh, start, last + 1, writer)) return false;
        end = std::max(end, last + 1);
        open = false;
      }
      if (!open) {
        open = true;
        start = p;
      }
      // The differing run itself.
      while (i < n && t[i] != f[i]) ++i;
      last = at + i - 1;
    }
    releaseView(fresh, at > kPiece ? at - kPiece : 0, kPiece);
  }
  if (open) {
    if (!emitStretch(fresh, start, last + 1, writer)) return false;
    end = std::max(end, last + 1);
  }
  end = std::max(end, replay.size);
  if (end != fresh.size && !writer->resize(fresh.size)) return false;
  return true;
}
