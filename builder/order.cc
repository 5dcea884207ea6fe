#include "builder/order.h"

#include <algorithm>
#include <limits>

namespace {

struct Graph {
  std::vector<uint64_t> first;  // per node, into targets (CSR)
  std::vector<uint32_t> targets;
  std::vector<uint64_t> costs;  // overlap bytes of each edge
};

uint64_t overlapLength(uint64_t a, uint64_t aLength, uint64_t b,
                       uint64_t bLength) {
  uint64_t lo = std::max(a, b);
  uint64_t hi = std::min(a + aLength, b + bLength);
  return hi > lo ? hi - lo : 0;
}

// moves sorted by destination. Edge i -> j: i reads bytes that j writes, so
// i runs first.
void buildGraph(const std::vector<Copy>& moves, Graph* g) {
  size_t n = moves.size();
  g->first.assign(n + 1, 0);
  g->targets.clear();
  g->costs.clear();
  for (size_t i = 0; i < n; ++i) {
    const Copy& m = moves[i];
    // First Move whose destination ends past the source's start.
    size_t j = static_cast<size_t>(
        std::partition_point(moves.begin(), moves.end(),
                             [&](const Copy& c) {
                               return c.destination + c.length <= m.source;
                             }) -
        moves.begin());
    for (; j < n && moves[j].destination < m.source + m.length; ++j) {
      if (j == i) continue;
      uint64_t cost = overlapLength(m.source, m.length, moves[j].destination,
                                    moves[j].length);
      if (cost == 0) continue;
      g->targets.push_back(static_cast<uint32_t>(j));
      g->costs.push_back(cost);
    }
    g->first[i + 1] = g->targets.size();
  }
}

// Tarjan's strongly connected components, without recursion.
void components(const Graph& g, std::vector<uint32_t>* component,
                std::vector<uint32_t>* componentSize) {
  size_t n = g.first.size() - 1;
  constexpr uint32_t kUnseen = std::numeric_limits<uint32_t>::max();
  std::vector<uint32_t> index(n, kUnseen);
  std::vector<uint32_t> low(n, 0);
  std::vector<bool> onStack(n, false);
  std::vector<uint32_t> stack;
  std::vector<std::pair<uint32_t, uint64_t>> calls;  // node, next edge
  component->assign(n, 0);
  componentSize->clear();
  uint32_t counter = 0;
  for (size_t root = 0; root < n; ++root) {
    if (index[root] != kUnseen) continue;
    calls.push_back({static_cast<uint32_t>(root), g.first[root]});
    index[root] = low[root] = counter++;
    stack.push_back(static_cast<uint32_t>(root));
    onStack[root] = true;
    while (!calls.empty()) {
      uint32_t v = calls.back().first;
      uint64_t& e = calls.back().second;
      if (e < g.first[v + 1]) {
        uint32_t w = g.targets[e++];
        if (index[w] == kUnseen) {
          index[w] = low[w] = counter++;
          stack.push_back(w);
          onStack[w] = true;
          calls.push_back({w, g.first[w]});
        } else if (onStack[w]) {
          low[v] = std::min(low[v], index[w]);
        }
        continue;
      }
      calls.pop_back();
      if (!calls.empty()) {
        uint32_t parent = calls.back().first;
        low[parent] = std::min(low[parent], low[v]);
      }
      if (low[v] == index[v]) {
        uint32_t id = static_cast<uint32_t>(componentSize->size());
        uint32_t size = 0;
        uint32_t w;
        do {
          w = stack.back();
          stack.pop_back();
          onStack[w] = false;
          (*component)[w] = id;
          ++size;
        } while (w != v);
        componentSize->push_back(size);
      }
    }
  }
}

// Removes destination bytes [cut, cut + length) from c; the pieces left
// (none, one or two) are appended to out, the piece cut out to removed.
void trimDestination(const Copy& c, uint64_t cut, uint64_t length,
                     std::vector<Copy>* out, std::vector<Copy>* removed) {
  removed->push_back(
      Copy{cut, c.source + (cut - c.destination), length});
  if (cut > c.destination) {
    out->push_back(Copy{c.destination, c.source, cut - c.destination});
  }
  uint64_t end = c.destination + c.length;
  if (cut + length < end) {
    uint64_t skip = cut + length - c.destination;
    out->push_back(Copy{cut + length, c.source + skip, end - cut - length});
  }
}

bool byDestination(const Copy& a, const Copy& b) {
  return a.destination < b.destination;
}

}  // namespace

void orderMoves(const std::vector<Copy>& input, const Scratch& scratch,
                std::vector<Copy>* ordered, OrderStats* stats) {
  *stats = OrderStats{};
  std::vector<Copy> moves = input;
  std::sort(moves.begin(), moves.end(), byDestination);
  Graph g;
  std::vector<uint32_t> component;
  std::vector<uint32_t> componentSize;
  std::vector<Copy> removed;
  // Rounds of one cut per cyclic component; past the limit every edge inside
  // a component is cut at once, which always ends the cycles.
  constexpr uint64_t kRoundLimit = 4096;
  for (;;) {
    buildGraph(moves, &g);
    if (stats->rounds == 0) stats->edges = g.targets.size();
    components(g, &component, &componentSize);
    bool cyclic = false;
    for (uint32_t size : componentSize) cyclic = cyclic || size > 1;
    if (!cyclic) break;
    ++stats->rounds;
    bool cutAll = stats->rounds > kRoundLimit;
    size_t n = moves.size();
    // Per component its cheapest inner edge, as (reader, edge).
    constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
    std::vector<uint64_t> cheapest(componentSize.size(), kNone);
    std::vector<std::pair<uint32_t, uint64_t>> cuts;
    for (size_t v = 0; v < n; ++v) {
      uint32_t c = component[v];
      if (componentSize[c] < 2) continue;
      for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) {
        if (component[g.targets[e]] != c) continue;
        if (cutAll) {
          cuts.push_back({static_cast<uint32_t>(v), e});
        } else if (cheapest[c] == kNone || g.costs[e] < g.costs[cheapest[c]]) {
          cheapest[c] = e;
        }
      }
    }
    if (!cutAll) {
      for (size_t v = 0; v < n; ++v) {
        for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) {
          if (cheapest[component[v]] == e) {
            cuts.push_back({static_cast<uint32_t>(v), e});
          }
        }
      }
    }
    // Trim each cut's bytes out of the writer, or out of the reader when that
    // keeps it whole and the writer would split. A Move trimmed twice in one
    // round gets its second trim in a later round.
    std::vector<bool> touched(n, false);
    std::vector<Copy> next;
    for (const auto& cut : cuts) {
      uint32_t reader = cut.first;
      uint32_t writer = g.targets[cut.second];
      if (touched[reader] || touched[writer]) continue;
      const Copy& r = moves[reader];
      const Copy& w = moves[writer];
      uint64_t lo = std::max(r.source, w.destination);
      uint64_t length = g.costs[cut.second];
      bool writerSplits =
          lo > w.destination && lo + length < w.destination + w.length;
      uint64_t readerCut = r.destination + (lo - r.source);
      bool readerSplits =
          readerCut > r.destination &&
          readerCut + length < r.destination + r.length;
      if (writerSplits && !readerSplits) {
        trimDestination(r, readerCut, length, &next, &removed);
        touched[reader] = true;
      } else {
        trimDestination(w, lo, length, &next, &removed);
        touched[writer] = true;
      }
      ++stats->cuts;
    }
    for (size_t v = 0; v < n; ++v) {
      if (!touched[v]) next.push_back(moves[v]);
    }
    std::sort(next.begin(), next.end(), byDestination);
    moves.swap(next);
  }
  // Kahn's algorithm on the acyclic graph.
  size_t n = moves.size();
  std::vector<uint32_t> waiting(n, 0);
  for (uint32_t t : g.targets) ++waiting[t];
  std::vector<uint32_t> ready;
  for (size_t v = n; v-- > 0;) {
    if (waiting[v] == 0) ready.push_back(static_cast<uint32_t>(v));
  }
  // Cut pieces: through scratch space, longest first, while it lasts.
  std::sort(removed.begin(), removed.end(),
            [](const Copy& a, const Copy& b) { return a.length > b.length; });
  std::vector<Copy> stashed;
  uint64_t used = 0;
  for (const Copy& piece : removed) {
    if (piece.length >= kScratchMinimum &&
        piece.length <= scratch.limit - used) {
      stashed.push_back(piece);
      used += piece.length;
      stats->scratchBytes += piece.length;
    } else {
      stats->literalBytes += piece.length;
    }
  }
  ordered->clear();
  ordered->reserve(n + 2 * stashed.size());
  used = 0;
  for (const Copy& piece : stashed) {
    ordered->push_back(Copy{scratch.base + used, piece.source, piece.length});
    used += piece.length;
  }
  while (!ready.empty()) {
    uint32_t v = ready.back();
    ready.pop_back();
    ordered->push_back(moves[v]);
    for (uint64_t e = g.first[v]; e < g.first[v + 1]; ++e) {
      if (--waiting[g.targets[e]] == 0) ready.push_back(g.targets[e]);
    }
  }
  used = 0;
  for (const Copy& piece : stashed) {
    ordered->push_back(
        Copy{piece.destination, scratch.base + used, piece.length});
    used += piece.length;
  }
}
