// morvel's fast paths. A call is checked, sized and laid out once, into a
// Plan; run() then computes it over the series, many windows (or segments)
// side by side on the widest instruction set this CPU offers, and hands the
// rows to whatever sink the caller brings, a tile at a time. The same bits
// as the functions of morvel.hpp.
#pragma once

#include "morvel/morvel.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace morvel {

namespace detail {
struct Kernels; // one instruction set's kernels and their lanes
} // namespace detail

enum class InstructionSet { portable, avx2, avx512 };

// The instruction sets compiled in and supported by this CPU, narrowest
// first. Never empty. Asks the CPU and builds the vector at each call.
std::vector<InstructionSet> usable_instruction_sets();

// The widest of usable_instruction_sets(), found once per process. Never
// throws. O(1).
InstructionSet best_instruction_set() noexcept;

const char *instruction_set_name(InstructionSet set) noexcept;

// How the independent sums of a call are put side by side:
//  - windows: one window per lane, a tile of windows at a time, for many
//    windows (the windows that do not fill a tile go to `segments`);
//  - segments: one (window, segment) pair per lane, for few windows, where
//    a window's segments are the only independent work;
//  - serial: one window at a time, the literal loop;
//  - automatic: windows when the call has a tile of windows or more,
//    serial for a single window of a single segment, segments otherwise.
// Every layout gives the same bits.
enum class Layout { automatic, windows, segments, serial };

const char *layout_name(Layout layout) noexcept;

// How a sax call decides its letters:
//  - walked: every segment mean computed by the stretched walk;
//  - certified: each letter from an estimate of its mean with a proven
//    bound, the walk only for the letters the bound leaves open (windows of
//    up to certified_window_limit values);
//  - automatic: certified where that is the cheaper, walked elsewhere.
// Every choice gives the same letters; paa always walks.
enum class Letters { automatic, walked, certified };

const char *letters_name(Letters letters) noexcept;

// The longest window whose letters can be certified.
inline constexpr std::int32_t certified_window_limit = 1 << 16;

struct Execution {
  InstructionSet set = best_instruction_set(); // must be usable
  Layout layout = Layout::automatic;
  Letters letters = Letters::automatic;
};

// What a call's cells hold: segment means (double) or letters (char).
enum class Transform { paa, sax };

// Where each of run()'s buffers lies in its one block of working memory, in
// bytes from the block's start.
struct Workspace {
  std::size_t tile = 0;            // tile_rows rows of cells
  std::size_t window_scratch = 0;  // lane-major copies, windows kernel
  std::size_t segment_scratch = 0; // normalised slots, segments kernel
  std::size_t means = 0;           // window means of a batch
  std::size_t deviations = 0;      // and their standard deviations
  std::size_t sums = 0;            // prefix sums of a chunk, certified
  std::size_t squares = 0;         // and of its squares
  std::size_t bytes = 0;           // the whole block
};

// A checked call, its result's shape, the division of its work and the
// memory that work takes. Made by plan_paa or plan_sax; read by run().
struct Plan {
  // The call.
  Transform transform = Transform::paa;
  std::size_t length = 0; // values of the series
  std::int32_t window = 0;
  std::int32_t stride = 1;
  std::int32_t alpha = 0; // sax only
  Shape shape;            // rows windows of w (= columns) cells

  // The division of the work.
  const detail::Kernels *kernels = nullptr; // the windows kernel's set
  const detail::Kernels *segment_kernels = nullptr;
  std::int64_t lanes = 0;           // windows per tile of the windows kernel
  std::int64_t tiled = 0;           // windows 0 ... tiled - 1 go to it
  std::int64_t batch = 0;           // rows per batch of the rest
  bool serial = false;              // the rest one by one, else by segments
  std::int64_t tile_rows = 0;       // rows per tile handed to the sink
  std::int64_t window_scratch = 0;  // values per lane, windows kernel
  std::int64_t segment_scratch = 0; // slots of the segments kernel
  // Letters decided from a bound: the windows a chunk at a time, each
  // chunk's values summed once; the windows kernel above walks a chunk
  // whose letters the bound leaves open too often.
  bool certified = false;
  std::int64_t chunk = 0;      // windows per chunk
  std::int64_t chunk_span = 0; // values of the longest chunk

  // Its memory.
  Workspace workspace;
  // What run() allocates: workspace.bytes, or nothing when the block fits
  // in the small buffer run() keeps on its stack.
  std::size_t working_bytes = 0;
};

// Bytes of working memory run() keeps on its stack instead of the heap.
inline constexpr std::size_t inline_workspace_bytes = 4096;

// Checks a paa call (see validate_call, which throws for it) and plans it.
// Allocates nothing. O(1).
Plan plan_paa(std::size_t length, std::int32_t window, std::int32_t stride,
              std::int32_t w, Execution how = {});

// Checks a sax call, alphabet first (see validate_call), and plans it.
// Allocates nothing. O(1).
Plan plan_sax(std::size_t length, std::int32_t window, std::int32_t stride,
              std::int32_t w, std::int32_t alpha, Execution how = {});

// Receives the result a tile at a time: `rows` consecutive rows starting at
// row `first`, as rows * w cells, row-major. The cells are only valid during
// the call. Rows arrive in ascending order, every row exactly once; a sink
// may throw to end the computation.
template <typename T>
using TileSink =
    std::function<void(std::size_t first, std::size_t rows, const T *cells)>;

// How a sax plan's letters were decided: from the bound, or by the walk
// (letters the bound left open, and every letter of a chunk walked whole).
struct LetterTally {
  std::size_t certified = 0;
  std::size_t walked = 0;
};

// Computes a paa plan over ts[0 .. plan.length - 1] into `sink`.
// Preconditions: plan.transform is paa and ts holds plan.length values.
// Throws allocation_error when its working memory cannot be had, and
// whatever the sink throws. Returns the number of rows. Allocates
// plan.working_bytes, whatever the number of windows.
std::size_t run(const Plan &plan, const double *ts,
                const TileSink<double> &sink);

// The same for a sax plan (plan.transform is sax), adding to `tally`, when
// given, how its letters were decided.
std::size_t run(const Plan &plan, const double *ts, const TileSink<char> &sink,
                LetterTally *tally = nullptr);

// Computes a plan straight into the caller's array: cells[0 .. rows * w - 1],
// row-major, each tile copied there while it is still in cache.
// Preconditions: as run() with a sink, and cells holds rows * w cells that
// do not overlap ts. Throws allocation_error as run() does; on a throw the
// cells hold a prefix of the rows. Allocates plan.working_bytes.
std::size_t run(const Plan &plan, const double *ts, double *cells);

// The same for a sax plan: one byte per letter.
std::size_t run(const Plan &plan, const double *ts, char *cells);

} // namespace morvel
