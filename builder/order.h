// Ordering the Moves of an in-place patch. Every Move reads the target as
// the Moves before it left it, so a Move that overwrites bytes another Move
// still has to read must come after that one: the copy-order graph has an
// edge from each Move to every other Move whose destination overlaps its
// source. A Move overlapping itself is safe, since Move is overlap-safe.
//
// Cycles are broken by giving up the conflicting part of one copy: in each
// strongly connected component the edge with the smallest overlap is cut by
// trimming those bytes out of the writing Move (or out of the reading one,
// when that avoids splitting a Move in two). This repeats until the graph is
// acyclic; the Moves then go out in a topological order.
//
// A trimmed piece long enough to pay for two Moves goes through scratch
// space past everything the Moves touch: before any other Move it is copied
// there, while its source still holds OLD's bytes, and after all others it is
// copied from there to its destination, when nothing reads that any more.
// The final Resize drops the scratch space. Shorter pieces, and pieces past
// the scratch limit, become literal Writes.
#pragma once

#include <cstdint>
#include <vector>

#include "builder/match.h"

struct OrderStats {
  uint64_t edges = 0;         // in the first graph
  uint64_t cuts = 0;          // edges cut to break cycles
  uint64_t literalBytes = 0;  // bytes the cuts turned into literals
  uint64_t scratchBytes = 0;  // bytes the cuts sent through scratch space
  uint64_t rounds = 0;
};

// Scratch space for cut pieces: it starts at base, which lies past every
// byte the Moves read or write and past the target's size, and holds at most
// limit bytes (0: every cut piece becomes literal).
struct Scratch {
  uint64_t base = 0;
  uint64_t limit = 0;
};

// A piece is sent through scratch space from this length on: below it, two
// Moves cost more than its bytes written out.
inline constexpr uint64_t kScratchMinimum = 64;

// moves: copies with source != destination, destinations disjoint. ordered
// receives them (trimmed where cycles were cut, and the scratch space's
// Moves) in a safe execution order.
void orderMoves(const std::vector<Copy>& moves, const Scratch& scratch,
                std::vector<Copy>* ordered, OrderStats* stats);
