#include "engine/patcher.h"

#include <cstdio>
#include <string>

#include "frontend/report.h"
#include "platform/platform.h"

uint8_t Patcher::writeBuffer[kWriteBufferSize];

void Patcher::setTargetPath(const std::wstring& path) { targetPath = path; }

void Patcher::setContainerPath(const std::wstring& path) {
  containerPath = path;
}

FILE* openFile(const std::wstring& path, const char* mode,
               bool reportFailure) {
  FILE* stream = platform::openStream(path, mode);
  if (stream == nullptr && reportFailure) {
    reportError(L"ERROR: open file %ls failed\n\n", path.c_str());
  }
  return stream;
}

void Patcher::computeVersion() { version = packVersion(header); }

bool Patcher::apply() {
  target = openFile(targetPath, "rb+", true);
  if (target == nullptr) return false;
  container = openFile(containerPath, "rb", true);
  if (container == nullptr) {
    std::fclose(target);
    target = nullptr;
    return false;
  }

  int64_t headerOffset = 0;
  locateContainer(&headerOffset);
  if (!hasPatchMagic(header)) {
    closeFiles();
    reportError(L"ERROR: not support patch file %ls\n\n",
                containerPath.c_str());
    return false;
  }
  computeVersion();
  if (version > kMaxSupportedVersion) {
    closeFiles();
    std::wstring major = toWide(formatNarrow("%hhu", header.versionMajor));
    std::wstring minor = toWide(formatNarrow("%hhu", header.versionMinor));
    std::wstring patch = toWide(formatNarrow("%hhu", header.versionPatch));
    reportError(L"ERROR: not support patch file version %ls.%ls.%ls\n\n",
                major.c_str(), minor.c_str(), patch.c_str());
    return false;
  }
  if (isAlreadyPatched()) {
    closeFiles();  // nothing was written, so nothing can be lost here
    reportError(L"ERROR: %ls was already patched\n\n", targetPath.c_str());
    return true;
  }

  bool ok = rewindContainer(headerOffset) ? runCommands() : failTruncated();
  if (!closeFiles() && ok) ok = failWrite();
  return ok;
}

// Leaves header all zero when the trailer does not lead to 16 readable bytes,
// which the magic test then refuses.
bool Patcher::locateContainer(int64_t* headerOffset) {
  header = PatchHeader{};
  uint8_t trailer[kTrailerSize] = {};
  if (!platform::seekStream(container, -static_cast<int64_t>(kTrailerSize),
                            SEEK_END) ||
      std::fread(trailer, 1, kTrailerSize, container) != kTrailerSize) {
    return false;
  }
  ContainerTrailer t{decodeLe(trailer, kTrailerSize)};
  if (!platform::seekStream(container, 0, SEEK_END)) return false;
  int64_t size = platform::tellStream(container);
  if (size < 0 || t.length > static_cast<uint64_t>(size)) return false;
  *headerOffset = size - static_cast<int64_t>(t.length);
  uint8_t bytes[kHeaderSize];
  if (!platform::seekStream(container, *headerOffset, SEEK_SET) ||
      std::fread(bytes, 1, kHeaderSize, container) != kHeaderSize) {
    return false;
  }
  header = decodeHeader(bytes);
  uint64_t afterHeader = kHeaderSize + kTrailerSize;
  streamSize = t.length > afterHeader ? t.length - afterHeader : 0;
  streamLeft = streamSize;
  return true;
}

bool Patcher::rewindContainer(int64_t headerOffset) {
  streamLeft = streamSize;
  return platform::seekStream(container, headerOffset + kHeaderSize, SEEK_SET);
}

bool Patcher::readContainer(void* bytes, size_t count) {
  if (count > streamLeft) return false;
  streamLeft -= count;
  return std::fread(bytes, 1, count, container) == count;
}

bool Patcher::skipContainer(uint64_t count) {
  if (count > streamLeft) return false;
  streamLeft -= count;
  return platform::seekStream(container, static_cast<int64_t>(count), SEEK_CUR);
}

// Executes commands until End. A failure has printed its line; the caller
// closes the files.
bool Patcher::runCommands() {
  uint8_t fields[kCheckRecordSize];
  for (;;) {
    uint8_t op = 0;
    if (!readContainer(&op, 1)) return failTruncated();
    if (isWriteOp(op)) {
      if (!executeWrite(op)) return false;
      continue;
    }
    // Every other command that touches the target sees the Writes before it.
    if (op != OpCheck && !flushWrites()) return failWrite();
    switch (op) {
      case OpEnd:
        return true;
      case OpCheck:
        // Only the check block counts, and detection has read it already.
        if (!skipContainer(kCheckRecordSize)) return failTruncated();
        break;
      case OpMove:
        if (!readContainer(fields, kMoveFieldsSize)) return failTruncated();
        if (!moveBlock(decodeLe(fields, 8), decodeLe(fields + 8, 8),
                       decodeLe(fields + 16, 8))) {
          return false;
        }
        break;
      case OpFill:
        if (!readContainer(fields, kFillFieldsSize)) return failTruncated();
        if (!fillBlock(decodeLe(fields, 8), decodeLe(fields + 8, 8),
                       fields[16])) {
          return false;
        }
        break;
      case OpResize:
        if (!readContainer(fields, kResizeFieldsSize)) return failTruncated();
        if (!resizeTarget(decodeLe(fields, 8))) return false;
        break;
      default: {
        std::wstring text = toWide(formatNarrow("%02hhX", op));
        reportError(L"ERROR: unknown patch command %ls\n\n", text.c_str());
        return false;
      }
    }
  }
}

bool Patcher::executeWrite(uint8_t op) {
  unsigned offsetWidth = writeOffsetWidth(op);
  unsigned lengthWidth = writeLengthWidth(op);
  uint8_t fields[10];
  if (!readContainer(fields, offsetWidth + lengthWidth)) {
    return failTruncated();
  }
  uint64_t offset = decodeLe(fields, offsetWidth);
  uint32_t length =
      static_cast<uint32_t>(decodeLe(fields + offsetWidth, lengthWidth)) + 1;
  if (!readContainer(writeBuffer, length)) return failTruncated();
  return writeAt((op & WriteRelative) == 0, offset, length, writeBuffer);
}

bool Patcher::writeAt(bool absolute, uint64_t offset, uint32_t length,
                      const uint8_t* data) {
  uint64_t start = offset;
  if (!absolute) {
    // Gathered Writes have not moved the stream yet; the position is behind
    // the last of them.
    int64_t here = pendingWrites.active()
                       ? static_cast<int64_t>(pendingWrites.end())
                       : platform::tellStream(target);
    if (here < 0 || offset > kMaxPosition - static_cast<uint64_t>(here)) {
      return failWrite();
    }
    start = static_cast<uint64_t>(here) + offset;
  }
  // The last byte written must still be a valid position.
  if (start > kMaxPosition - length) return failWrite();
  if (!pendingWrites.accepts(start, length) && !flushWrites()) {
    return failWrite();
  }
  pendingWrites.add(start, data, length);
  return true;
}

bool Patcher::flushWrites() { return pendingWrites.flush(target); }

bool Patcher::closeFiles() {
  if (container != nullptr) std::fclose(container);
  container = nullptr;
  bool ok = true;
  if (target != nullptr) ok = std::fclose(target) == 0;
  target = nullptr;
  return ok;
}

// Gathered Writes are commands already executed: they reach the target
// before a failure is reported, and failing to write them is the failure.
bool Patcher::failTruncated() {
  if (!flushWrites()) return failWrite();
  reportError(L"ERROR: patch file %ls is truncated\n\n", containerPath.c_str());
  return false;
}

bool Patcher::failWrite() {
  flushWrites();  // what can still be written is
  reportError(L"ERROR: write file %ls failed\n\n", targetPath.c_str());
  return false;
}

bool Patcher::failOutOfMemory() {
  reportError(L"ERROR: out of memory\n\n");
  return false;
}
