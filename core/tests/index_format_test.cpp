// The saved format's bytes: the digest against hashlib's, the headers
// against numpy's, an index loaded from the files it was saved to searching
// as the one built, and the refusal each fault of a file meets.
#include <morvel/index.hpp>
#include <morvel/index_format.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using morvel::index_table_count;
using Files = std::array<std::string, index_table_count + 1>;

TEST(Blake2b256, MatchesHashlibWhateverPiecesItIsFedIn) {
  // hashlib.blake2b(data, digest_size=32).hexdigest()
  EXPECT_EQ(morvel::blake2b_256("", 0),
            "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
  EXPECT_EQ(morvel::blake2b_256("abc", 3),
            "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
  // bytes(range(256)) * 3 + b"x": blocks whole and not, the last one full.
  std::string data;
  for (int round = 0; round < 3; ++round)
    for (int byte = 0; byte < 256; ++byte)
      data += static_cast<char>(byte);
  data += 'x';
  for (const std::size_t piece : {1, 127, 128, 129, 769}) {
    morvel::Blake2b256 hash;
    for (std::size_t at = 0; at < data.size(); at += piece)
      hash.update(data.data() + at, std::min(piece, data.size() - at));
    EXPECT_EQ(
        hash.hex_digest(),
        "2316081a5176dcb666c5425fb98300fe23d0511a5504af9485b31513e2cd34e5")
        << "pieces of " << piece;
  }
}

TEST(NpyHeader, IsByteForByteWhatNumpyWrites) {
  // numpy.lib.format.write_array_header_1_0 for these shapes: `total`
  // bytes, the length field saying total - 10.
  const auto numpy = [](const std::string &dict, std::size_t total) {
    return std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(total - 10) +
           '\0' + dict + std::string(total - 11 - dict.size(), ' ') + "\n";
  };
  using morvel::TableElement;
  EXPECT_EQ(
      morvel::compose_npy_header(TableElement::float64, {5}),
      numpy("{'descr': '<f8', 'fortran_order': False, 'shape': (5,), }", 128));
  EXPECT_EQ(morvel::compose_npy_header(TableElement::uint8, {3, 4}),
            numpy("{'descr': '|u1', 'fortran_order': False, 'shape': (3, 4), }",
                  128));
  EXPECT_EQ(
      morvel::compose_npy_header(TableElement::uint32, {0}),
      numpy("{'descr': '<u4', 'fortran_order': False, 'shape': (0,), }", 128));
  // The room numpy leaves for the first extent to grow pushes this one
  // past a multiple of 64.
  EXPECT_EQ(
      morvel::compose_npy_header(TableElement::uint8,
                                 {1, 1000000000000000000, 100000000000000000}),
      numpy("{'descr': '|u1', 'fortran_order': False, 'shape': (1, "
            "1000000000000000000, 100000000000000000), }",
            192));
}

// A small index with windows of every kind: flat ones (no shape) and some
// beyond the bounds' range (their squares overflow).
struct Saved {
  morvel::IndexShape shape = morvel::plan_index(400, 16, 1, 4);
  std::vector<double> ts;
  morvel::BuiltIndex built;
  std::string generation = std::string(32, 'a');
  Saved() {
    std::mt19937_64 random(7);
    std::normal_distribution<double> step;
    double level = 0.0;
    for (std::int64_t i = 0; i < shape.length; ++i)
      ts.push_back(i >= 100 &&i < 140 ? 1.0 : level += step(random));
    ts[300] = 1e200;
    built = morvel::build_index(shape, ts.data(), 1, [](std::int64_t) {});
  }
  Files files() const {
    return morvel::compose_index_files(shape, ts.data(), built.tables(),
                                       generation);
  }
};

// Files held where a mapping would put them: aligned for any table.
struct Held {
  std::vector<std::vector<std::uint64_t>> memory;
  std::string header;
  std::array<morvel::FileBytes, index_table_count> files;
  explicit Held(const Files &saved) : header(saved[0]) {
    for (std::size_t table = 0; table < index_table_count; ++table) {
      const std::string &file = saved[table + 1];
      memory.emplace_back(file.size() / 8 + 1);
      std::memcpy(memory.back().data(), file.data(), file.size());
      files[table] = {
          reinterpret_cast<const std::uint8_t *>(memory.back().data()),
          file.size()};
    }
  }
  morvel::LoadedIndex load() const { return morvel::load_index(header, files); }
};

// The header's checksums made those of the files as they are now.
void reseal(Files &files, const morvel::IndexShape &shape,
            const std::string &generation) {
  std::array<std::string, index_table_count> sums;
  for (std::size_t table = 0; table < index_table_count; ++table)
    sums[table] =
        morvel::blake2b_256(files[table + 1].data(), files[table + 1].size());
  files[0] = morvel::compose_index_header(shape, generation, sums);
}

void replace(std::string &text, const std::string &from,
             const std::string &to) {
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

TEST(IndexFiles, LoadAsTheIndexSavedAndSearchTheSame) {
  const Saved saved;
  const Held held(saved.files());
  const morvel::LoadedIndex loaded = held.load();
  const morvel::IndexTables built = saved.built.tables();
  const morvel::IndexTables &read = loaded.tables;
  EXPECT_EQ(loaded.header.generation, saved.generation);
  EXPECT_EQ(loaded.header.shape.count, saved.shape.count);
  ASSERT_EQ(read.ranked, built.ranked);
  ASSERT_GT(read.irregular_count, 0);
  ASSERT_GT(read.shapeless_count, 0);
  EXPECT_EQ(std::memcmp(loaded.series, saved.ts.data(), saved.ts.size() * 8),
            0);
  const std::vector<double> q(saved.ts.begin() + 200, saved.ts.begin() + 216);
  const auto search = [&](const morvel::IndexTables &tables,
                          const double *series) {
    std::vector<double> distances(5);
    std::vector<std::int64_t> starts(5);
    morvel::SearchStats stats;
    morvel::search_index(saved.shape, tables, series, q.data(), 5, 4,
                         std::nullopt, true, distances.data(), starts.data(),
                         stats);
    std::vector<std::uint64_t> bits(5);
    std::memcpy(bits.data(), distances.data(), 40);
    return std::make_pair(bits, starts);
  };
  const auto expected = search(built, saved.ts.data());
  EXPECT_EQ(expected.second[0], 200);
  EXPECT_EQ(search(read, loaded.series), expected);
}

struct Fault {
  const char *name;
  std::function<void(Files &, const Saved &)> damage;
  const char *reason; // what() begins so, or nullptr when it must load
};

void header_edit(Files &files, const std::string &from, const std::string &to) {
  replace(files[0], from, to);
}

// Edits the words' file, its checksum made to match.
std::function<void(Files &, const Saved &)> words_edit(std::string from,
                                                       std::string to) {
  return [from, to](Files &files, const Saved &saved) {
    replace(files[2], from, to);
    reseal(files, saved.shape, saved.generation);
  };
}

const std::vector<Fault> faults = {
    {"not-json", [](Files &f, const Saved &) { f[0] = "{"; },
     "its header is not JSON"},
    {"nested-deeper-than-any-header",
     [](Files &f, const Saved &) { f[0] = std::string(60000, '['); },
     "its header is not JSON"},
    {"too-large",
     [](Files &f, const Saved &) { f[0] += std::string(1 << 16, ' '); },
     "its header is too large"},
    {"an-array", [](Files &f, const Saved &) { f[0] = "[]"; },
     "its header is not an object"},
    {"another-format",
     [](Files &f, const Saved &) {
       header_edit(f, "morvel.Index", "morvel.Other");
     },
     "its header names another format"},
    {"version-3",
     [](Files &f, const Saved &) {
       header_edit(f, "\"version\": 2", "\"version\": 3");
     },
     "it is version 3, and this morvel reads versions 1 to 2"},
    {"version-real",
     [](Files &f, const Saved &) {
       header_edit(f, "\"version\": 2", "\"version\": 2.0");
     },
     "its header's version is not an integer"},
    {"version-boolean",
     [](Files &f, const Saved &) {
       header_edit(f, "\"version\": 2", "\"version\": true");
     },
     "its header's version is not an integer"},
    {"w-beyond-64-bits",
     [](Files &f, const Saved &) {
       header_edit(f, "\"w\": 4", "\"w\": 99999999999999999999");
     },
     "its header's w is out of range"},
    {"generation-a-lone-surrogate",
     [](Files &f, const Saved &s) { header_edit(f, s.generation, "\\ud800"); },
     "its header's generation is missing or not text"},
    {"leaves-of-32",
     [](Files &f, const Saved &) {
       header_edit(f, "\"leaf\": 64", "\"leaf\": 32");
     },
     "its leaves are not of 64 windows"},
    {"window-of-1",
     [](Files &f, const Saved &) {
       header_edit(f, "\"window\": 16", "\"window\": 1");
     },
     "its shape is impossible: "},
    {"no-checksum-of-words",
     [](Files &f, const Saved &) { header_edit(f, "\"words\"", "\"wards\""); },
     "its header has no checksum of words-aaaaaaaa"},
    {"words-changed", [](Files &f, const Saved &) { f[2].back() ^= 1; },
     "words-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.npy is damaged: its checksum"},
    {"byte-order-mark",
     [](Files &f, const Saved &) { f[0] = "\xef\xbb\xbf" + f[0]; }, nullptr},
    {"a-repeated-key-whose-last-value-counts",
     [](Files &f, const Saved &) {
       header_edit(f, "{\n", "{\"version\": 7, \"format\": 1,\n");
     },
     nullptr},
    {"format-escaped",
     [](Files &f, const Saved &) {
       header_edit(f, "\"morvel.Index\"", "\"\\u006dorvel.Index\"");
     },
     nullptr},
    {"npy-magic", words_edit("NUMPY", "NUMPI"), "words-"},
    {"npy-version-3", words_edit("NUMPY\x01", "NUMPY\x03"),
     "words-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.npy is of an .npy version"},
    {"npy-of-int16", words_edit("'|u1'", "'<i2'"), "words-"},
    {"npy-fortran-order", words_edit("False", "True "), "words-"},
    {"npy-negative-extent", words_edit("'shape': (", "'shape': (-"), "words-"},
    {"npy-boolean-extent", words_edit("'shape': (", "'shape': (True, "),
     "words-"},
    {"npy-extent-beyond-64-bits",
     words_edit("'shape': (", "'shape': (99999999999999999999"), "words-"},
    {"npy-numpy-format-2",
     [](Files &f, const Saved &s) {
       // As numpy writes it: a longer length field, two spaces fewer.
       replace(f[2], std::string("\x01\x00v\x00", 4),
               std::string("\x02\x00t\x00\x00\x00", 6));
       replace(f[2], "   \n", " \n");
       reseal(f, s.shape, s.generation);
     },
     nullptr},
    {"npy-truncated",
     [](Files &f, const Saved &s) {
       f[2].pop_back();
       reseal(f, s.shape, s.generation);
     },
     "words-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.npy is not of the size"},
    {"series-misaligned",
     [](Files &f, const Saved &s) {
       // A header one byte shorter, as another writer might make it.
       replace(f[1], std::string("v\x00", 2), std::string("u\x00", 2));
       replace(f[1], " \n", "\n");
       reseal(f, s.shape, s.generation);
     },
     "series-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.npy is not aligned"},
    {"window-repeated",
     [](Files &f, const Saved &s) {
       std::memcpy(&f[3][128], &f[3][132], 4);
       reseal(f, s.shape, s.generation);
     },
     "the index's tables are damaged: window "},
    {"words-of-another-width",
     [](Files &f, const Saved &s) {
       header_edit(f, "\"w\": 4", "\"w\": 2");
       (void)s;
     },
     "its words or boxes are not of the shape the header gives"},
};

class Faults : public testing::TestWithParam<Fault> {};

TEST_P(Faults, AreRefusedWithTheirReason) {
  const Saved saved;
  Files files = saved.files();
  GetParam().damage(files, saved);
  const Held held(files);
  if (GetParam().reason == nullptr) {
    EXPECT_EQ(held.load().header.shape.count, saved.shape.count);
    return;
  }
  try {
    held.load();
    FAIL() << "loaded";
  } catch (const morvel::unreadable_index &error) {
    EXPECT_EQ(std::string(error.what()).rfind(GetParam().reason, 0), 0u)
        << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(IndexFiles, Faults, testing::ValuesIn(faults),
                         [](const auto &info) {
                           std::string name = info.param.name;
                           for (char &c : name)
                             if (c == '-')
                               c = '_';
                           return name;
                         });

TEST(IndexHeader, ReadsBackWhatItComposes) {
  const Saved saved;
  const Files files = saved.files();
  const morvel::IndexHeader header = morvel::parse_index_header(files[0]);
  EXPECT_EQ(header.version, 2);
  EXPECT_EQ(header.generation, saved.generation);
  for (const auto field :
       {&morvel::IndexShape::length, &morvel::IndexShape::window,
        &morvel::IndexShape::stride, &morvel::IndexShape::w,
        &morvel::IndexShape::count})
    EXPECT_EQ(header.shape.*field, saved.shape.*field);
  for (std::size_t table = 0; table < index_table_count; ++table)
    EXPECT_EQ(
        header.checksums[table],
        morvel::blake2b_256(files[table + 1].data(), files[table + 1].size()));
}

} // namespace
