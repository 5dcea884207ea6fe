#include "builder/inspect.h"

#include <cstring>

#include "builder/files.h"
#include "engine/container.h"

bool inspectPatch(const std::string& path, PatchSummary* summary,
                  std::vector<ParsedCommand>* commands, std::string* error) {
  *summary = PatchSummary{};
  if (commands != nullptr) commands->clear();
  FileView view;
  if (!openView(path, &view, error)) return false;
  const uint8_t* d = view.data;
  uint64_t size = view.size;
  summary->fileSize = size;
  auto fail = [&](const std::string& message) {
    *error = message;
    closeView(&view);
    return false;
  };
  if (size < kTrailerSize) return fail(path + " carries no patch");
  uint64_t t = decodeLe(d + size - kTrailerSize, kTrailerSize);
  if (t < kHeaderSize + kTrailerSize || t > size ||
      std::memcmp(d + size - t, kPatchMagic, 4) != 0) {
    return fail(path + " carries no patch");
  }
  uint64_t header = size - t;
  summary->stubSize = header;
  summary->containerSize = t;
  summary->version[0] = d[header + 4];
  summary->version[1] = d[header + 5];
  summary->version[2] = d[header + 6];
  summary->reserved = d[header + 7];
  summary->lengthField = decodeLe(d + header + 8, 8);
  // Commands lie between the header and the trailer.
  uint64_t p = header + kHeaderSize;
  uint64_t limit = size - kTrailerSize;
  bool checkBlock = true;
  CommandCounts& n = summary->counts;
  for (;;) {
    if (p >= limit) return fail(path + ": the command stream ends without End");
    ParsedCommand cmd;
    cmd.at = p - header;
    cmd.op = d[p++];
    uint64_t left = limit - p;
    ++summary->commands;
    if (cmd.op != OpCheck) checkBlock = false;
    if (cmd.op == OpEnd) {
      summary->trailingBytes = left;
      if (commands != nullptr) commands->push_back(cmd);
      break;
    }
    if (isWriteOp(cmd.op)) {
      unsigned ow = writeOffsetWidth(cmd.op);
      unsigned lw = writeLengthWidth(cmd.op);
      if (left < ow + lw) return fail(path + ": a Write is cut short");
      cmd.a = decodeLe(d + p, ow);
      cmd.b = decodeLe(d + p + ow, lw) + 1;
      if (left - ow - lw < cmd.b) return fail(path + ": a Write is cut short");
      p += ow + lw + cmd.b;
      ++n.writes;
      if (cmd.op & WriteRelative) ++n.relativeWrites;
      n.writtenBytes += cmd.b;
      n.writeBytes += 1 + ow + lw + cmd.b;
    } else {
      switch (cmd.op) {
        case OpCheck:
          if (left < kCheckRecordSize) return fail(path + ": a Check is cut short");
          cmd.a = decodeLe(d + p, 8);
          cmd.b = decodeLe(d + p + 8, 8);
          std::memcpy(cmd.digest, d + p + 16, kDigestSize);
          cmd.inCheckBlock = checkBlock;
          if (checkBlock) summary->checkBlock.push_back(cmd);
          p += kCheckRecordSize;
          ++n.checks;
          break;
        case OpMove:
          if (left < kMoveFieldsSize) return fail(path + ": a Move is cut short");
          cmd.a = decodeLe(d + p, 8);
          cmd.b = decodeLe(d + p + 8, 8);
          cmd.c = decodeLe(d + p + 16, 8);
          p += kMoveFieldsSize;
          ++n.moves;
          n.movedBytes += cmd.c;
          break;
        case OpFill:
          if (left < kFillFieldsSize) return fail(path + ": a Fill is cut short");
          cmd.a = decodeLe(d + p, 8);
          cmd.b = decodeLe(d + p + 8, 8);
          cmd.c = d[p + 16];
          p += kFillFieldsSize;
          ++n.fills;
          n.filledBytes += cmd.b;
          break;
        case OpResize:
          if (left < kResizeFieldsSize) {
            return fail(path + ": a Resize is cut short");
          }
          cmd.a = decodeLe(d + p, 8);
          p += kResizeFieldsSize;
          ++n.resizes;
          break;
        default: {
          char text[64];
          std::snprintf(text, sizeof text,
                        ": unknown command %02X at container offset %llu",
                        cmd.op, static_cast<unsigned long long>(cmd.at));
          return fail(path + text);
        }
      }
    }
    if (commands != nullptr) commands->push_back(cmd);
  }
  closeView(&view);
  return true;
}
