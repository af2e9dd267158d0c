// Planning a call: its check, the instruction set's kernels, the division of
// its windows between them and the layout of its working memory, all decided
// here and only here.
#include "morvel/plan.hpp"

#include "kernel_interface.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace morvel {
namespace {

bool cpu_supports(InstructionSet set) noexcept {
#if MORVEL_HAVE_X86_KERNELS
  __builtin_cpu_init();
  switch (set) {
  case InstructionSet::avx512:
    return __builtin_cpu_supports("avx512f");
  case InstructionSet::avx2:
    return __builtin_cpu_supports("avx2");
  default:
    return true;
  }
#else
  return set == InstructionSet::portable;
#endif
}

constexpr InstructionSet narrowest_first[] = {
    InstructionSet::portable, InstructionSet::avx2, InstructionSet::avx512};

// Lane-major copies are made a chunk at a time, small enough to stay in
// cache: at most this many bytes.
constexpr std::int64_t scratch_bytes = std::int64_t{1} << 20;
// Windows handed to the segments kernel at a time.
constexpr std::int64_t segment_batch = detail::max_kernel_lanes;

std::size_t round8(std::size_t bytes) { return (bytes + 7) / 8 * 8; }

// Which windows go to which kernel, and the sizes of their buffers.
void divide(Plan &plan, Execution how) {
  const auto count = static_cast<std::int64_t>(plan.shape.rows);
  const auto w = static_cast<std::int64_t>(plan.shape.columns);
  const std::int64_t n = plan.window;
  const std::int64_t lanes = plan.lanes;
  if (count == 0)
    return;
  if (n == 0 || w == 0) {
    // Nothing to compute: rows of their initial fill, a tile at a time.
    plan.tile_rows = count < lanes ? count : lanes;
    return;
  }
  Layout layout = how.layout;
  if (layout == Layout::automatic)
    layout = count >= lanes         ? Layout::windows
             : count == 1 && w == 1 ? Layout::serial
                                    : Layout::segments;
  if (layout == Layout::windows)
    plan.tiled = count / lanes * lanes;
  plan.serial = layout == Layout::serial;
  const std::int64_t rest = count - plan.tiled;
  // A few segments side by side are bound by the latency of each addition,
  // which is shorter on 256-bit vectors than on 512-bit ones; many are bound
  // by throughput, where the wider vectors do twice the work.
  if (how.layout == Layout::automatic && how.set == InstructionSet::avx512 &&
      rest * w <= 32)
    plan.segment_kernels = &detail::kernels_of(InstructionSet::avx2);
  plan.batch = rest < segment_batch ? rest : segment_batch;
  plan.tile_rows = plan.tiled > 0 ? lanes : 0;
  if (plan.batch > plan.tile_rows)
    plan.tile_rows = plan.batch;
  if (plan.tiled > 0 && plan.stride != 1) {
    const std::int64_t fits = scratch_bytes / (lanes * 8);
    plan.window_scratch = n < fits ? n : fits;
  }
  if (rest > 0 && !plan.serial) {
    // A segment of n samples over values w apart spans at most this many
    // slots; two at least, for the two-value form.
    const std::int64_t spans = w >= n ? 2 : n / w + 2;
    const std::int64_t fits = scratch_bytes / (detail::max_kernel_lanes * 8);
    plan.segment_scratch = spans < fits ? spans : fits;
  }
}

// Whether a sax call's letters are decided from a bound, and its chunks.
// A chunk's prefix sums cost about a value's addition per stride step, its
// letters a few operations each; the walk costs window additions per letter.
void certify(Plan &plan, Execution how) {
  const auto count = static_cast<std::int64_t>(plan.shape.rows);
  const auto w = static_cast<std::int64_t>(plan.shape.columns);
  const std::int64_t n = plan.window;
  const std::int64_t step = plan.stride > 1 ? plan.stride : 1;
  if (plan.transform != Transform::sax || how.letters == Letters::walked ||
      count == 0 || w == 0 || n < 2 || n > certified_window_limit)
    return;
  if (how.letters == Letters::automatic &&
      (step > n || n * w < 64 || 16 * step > n * w))
    return;
  // Chunks small enough for their sums to stay near the processor, large
  // enough to share the sums of overlapping windows.
  std::int64_t chunk = 512;
  if (chunk > (std::int64_t{1} << 16) / step)
    chunk = (std::int64_t{1} << 16) / step;
  if (chunk > (std::int64_t{1} << 20) / w)
    chunk = (std::int64_t{1} << 20) / w;
  if (chunk < 1)
    chunk = 1;
  if (chunk > count)
    chunk = count;
  plan.certified = true;
  plan.chunk = chunk;
  plan.chunk_span = (chunk - 1) * step + n;
  plan.tiled = 0;
  plan.batch = 0;
  plan.serial = false;
  plan.segment_scratch = 0;
  plan.tile_rows = chunk;
  plan.window_scratch = 0;
  if (chunk >= plan.lanes && plan.stride != 1) {
    const std::int64_t fits = scratch_bytes / (plan.lanes * 8);
    plan.window_scratch = n < fits ? n : fits;
  }
}

// One block for every buffer, each 8-byte aligned.
void lay_out(Plan &plan) {
  const std::size_t cell_bytes = plan.transform == Transform::paa ? 8 : 1;
  Workspace &space = plan.workspace;
  std::size_t at = 0;
  auto take = [&at](std::size_t bytes) {
    const std::size_t start = at;
    at += round8(bytes);
    return start;
  };
  space.tile = take(static_cast<std::size_t>(plan.tile_rows) *
                    plan.shape.columns * cell_bytes);
  space.window_scratch =
      take(static_cast<std::size_t>(plan.window_scratch * plan.lanes) * 8);
  space.segment_scratch =
      take(static_cast<std::size_t>(plan.segment_scratch *
                                    detail::max_kernel_lanes) *
           8);
  space.means = take(static_cast<std::size_t>(plan.batch) * 8);
  space.deviations = take(static_cast<std::size_t>(plan.batch) * 8);
  const std::size_t prefix =
      plan.certified ? static_cast<std::size_t>(plan.chunk_span) + 1 : 0;
  space.sums = take(prefix * 8);
  space.squares = take(prefix * 8);
  space.bytes = at;
  plan.working_bytes = at <= inline_workspace_bytes ? 0 : at;
}

Plan make_plan(Transform transform, std::size_t length, std::int32_t window,
               std::int32_t stride, std::int32_t w,
               std::optional<std::int32_t> alpha, Execution how) {
  Plan plan;
  plan.shape = validate_call(length, window, stride, w, alpha);
  plan.transform = transform;
  plan.length = length;
  plan.window = window;
  plan.stride = stride;
  plan.alpha = alpha.value_or(0);
  plan.kernels = &detail::kernels_of(how.set);
  plan.segment_kernels = plan.kernels;
  plan.lanes = plan.kernels->lanes;
  divide(plan, how);
  certify(plan, how);
  lay_out(plan);
  return plan;
}

} // namespace

std::vector<InstructionSet> usable_instruction_sets() {
  std::vector<InstructionSet> sets;
  for (const InstructionSet set : narrowest_first)
    if (cpu_supports(set))
      sets.push_back(set);
  return sets;
}

InstructionSet best_instruction_set() noexcept {
  static const InstructionSet best = [] {
    InstructionSet widest = InstructionSet::portable;
    for (const InstructionSet set : narrowest_first)
      if (cpu_supports(set))
        widest = set;
    return widest;
  }();
  return best;
}

const char *instruction_set_name(InstructionSet set) noexcept {
  switch (set) {
  case InstructionSet::avx512:
    return "avx512";
  case InstructionSet::avx2:
    return "avx2";
  default:
    return "portable";
  }
}

const char *letters_name(Letters letters) noexcept {
  switch (letters) {
  case Letters::walked:
    return "walked";
  case Letters::certified:
    return "certified";
  default:
    return "automatic";
  }
}

const char *layout_name(Layout layout) noexcept {
  switch (layout) {
  case Layout::windows:
    return "windows";
  case Layout::segments:
    return "segments";
  case Layout::serial:
    return "serial";
  default:
    return "automatic";
  }
}

Plan plan_paa(std::size_t length, std::int32_t window, std::int32_t stride,
              std::int32_t w, Execution how) {
  return make_plan(Transform::paa, length, window, stride, w, std::nullopt,
                   how);
}

Plan plan_sax(std::size_t length, std::int32_t window, std::int32_t stride,
              std::int32_t w, std::int32_t alpha, Execution how) {
  return make_plan(Transform::sax, length, window, stride, w, alpha, how);
}

const detail::Kernels &detail::kernels_of(InstructionSet set) noexcept {
#if MORVEL_HAVE_X86_KERNELS
  if (set == InstructionSet::avx512)
    return detail::avx512::kernels;
  if (set == InstructionSet::avx2)
    return detail::avx2::kernels;
#endif
  (void)set;
  return detail::portable::kernels;
}

const detail::Kernels &detail::best_kernels() noexcept {
  static const detail::Kernels &best = kernels_of(best_instruction_set());
  return best;
}

} // namespace morvel
