// Throughput of the JSON writer and reader on record-shaped documents:
// a 100,000-entry filesystem tree and a 10-million-element float array.
//
//   cmake -S . -B build -G Ninja -DQV_BUILD_BENCH=ON && ninja -C build json_bench
//   ./build/json_bench
#include <algorithm>
#include <ctime>
#include <cstdlib>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/float_text.h"
#include "core/json.h"

namespace {

// Thread CPU time rather than wall time: the machine is shared, and time
// spent waiting for a core says nothing about the code.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Entry {
  std::string path;
  std::string mode;
  uint64_t size;
  std::string kind;
  std::string blob;
};

std::vector<Entry> make_entries(size_t n) {
  std::mt19937_64 gen(1);
  std::vector<Entry> entries;
  entries.reserve(n);
  const char* hex = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    Entry e;
    e.path = "src/module_" + std::to_string(i / 100) + "/sub_dir/file_" + std::to_string(i) + ".py";
    bool dir = i % 10 == 0;
    e.mode = dir ? "0755" : "0644";
    e.size = dir ? 0 : gen() % 100000;
    e.kind = dir ? "dir" : "file";
    if (!dir) {
      e.blob = "sha256:";
      for (int k = 0; k < 64; ++k) e.blob += hex[gen() & 15];
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

void write_tree(const std::vector<Entry>& entries, std::string& out) {
  qv::JsonWriter w(out);
  w.begin_object();
  w.key("kind");
  w.string("fs.tree.v1");
  w.key("entries");
  w.begin_array();
  for (const auto& e : entries) {
    w.begin_object();
    w.key("path");
    w.string(e.path);
    w.key("mode");
    w.string(e.mode);
    w.key("size");
    w.u64(e.size);
    w.key("kind");
    w.string(e.kind);
    if (!e.blob.empty()) {
      w.key("blob");
      w.string(e.blob);
    }
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

constexpr std::string_view kTreeFields[] = {"kind", "entries"};
constexpr std::string_view kEntryFields[] = {"path", "mode", "size", "kind", "blob", "link_target"};

// Decodes the tree the way a typed record reader does.
qv::Result<size_t> read_tree(std::string_view text, std::vector<Entry>& out) {
  qv::JsonReader r(text);
  qv::RecordSpec tree_spec{"struct FsTree", kTreeFields, 2, 0, true};
  qv::RecordSpec entry_spec{"struct FsTreeEntry", kEntryFields, 6, 0b110000, true};
  std::string kind;
  auto present = qv::read_record(r, tree_spec, [&](size_t i) -> qv::Status {
    if (i == 0) return r.read_string_into(kind);
    QV_TRY(r.begin_array("a sequence"));
    for (;;) {
      auto more = r.next_element();
      if (!more) return std::unexpected(more.error());
      if (!*more) return {};
      Entry e;
      auto got = qv::read_record(r, entry_spec, [&](size_t f) -> qv::Status {
        switch (f) {
          case 0: return r.read_string_into(e.path);
          case 1: return r.read_string_into(e.mode);
          case 2: {
            auto v = r.read_u64();
            if (!v) return std::unexpected(v.error());
            e.size = *v;
            return {};
          }
          case 3: return r.read_string_into(e.kind);
          default: {
            auto null = r.try_null();
            if (!null) return std::unexpected(null.error());
            if (*null) return {};
            std::string s;
            QV_TRY(r.read_string_into(s));
            if (f == 4) e.blob = std::move(s);
            return {};
          }
        }
      });
      if (!got) return std::unexpected(got.error());
      out.push_back(std::move(e));
    }
  });
  if (!present) return std::unexpected(present.error());
  QV_TRY(r.finish());
  return out.size();
}

// Best of a few rounds, in CPU seconds.
template <class F>
double best_of(int rounds, F&& f) {
  double best = 1e100;
  for (int i = 0; i < rounds; ++i) {
    const double t0 = cpu_seconds();
    if (!f()) {
      std::printf("benchmark step failed\n");
      std::exit(1);
    }
    best = std::min(best, cpu_seconds() - t0);
  }
  return best;
}

void tree_bench() {
  const auto entries = make_entries(100000);
  std::string text;
  double dt = best_of(5, [&] {
    text.clear();
    write_tree(entries, text);
    return true;
  });
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("tree document: %zu entries, %.2f MB\n", entries.size(), mb);
  std::printf("write (JsonWriter):          %8.1f MB/s\n", mb / dt);

  dt = best_of(5, [&] {
    std::vector<Entry> back;
    auto n = read_tree(text, back);
    if (!n) std::printf("read failed: %s\n", n.error().message.c_str());
    return n && *n == entries.size();
  });
  std::printf("read (read_record):          %8.1f MB/s\n", mb / dt);

  dt = best_of(5, [&] {
    qv::JsonReader r(text);
    return r.read_value().has_value();
  });
  std::printf("read (read_value):           %8.1f MB/s\n", mb / dt);

  dt = best_of(5, [&] {
    qv::JsonReader r(text);
    return r.skip_value().has_value();
  });
  std::printf("skip (skip_value):           %8.1f MB/s\n", mb / dt);
}

void float_bench() {
  // Values shaped like model deltas.
  const size_t kFloats = 10'000'000;
  std::mt19937 gen(3);
  std::normal_distribution<float> dist(0.0f, 0.02f);
  std::string floats = "[";
  floats.reserve(kFloats * 14);
  for (size_t i = 0; i < kFloats; ++i) {
    if (i) floats += ',';
    qv::append_f32(floats, dist(gen));
  }
  floats += ']';
  std::printf("float array: %zu floats, %.1f MB\n", kFloats, static_cast<double>(floats.size()) / 1e6);

  std::vector<float> out;
  double dt = best_of(3, [&] {
    std::vector<float> fresh;  // as a diff reader has it
    qv::JsonReader r(floats);
    bool ok = r.read_f32_array(fresh).has_value();
    out = std::move(fresh);
    return ok && out.size() == kFloats;
  });
  std::printf("read_f32_array:              %8.1f M floats/s (%.1f MB/s)\n", kFloats / dt / 1e6,
              static_cast<double>(floats.size()) / dt / 1e6);

  std::vector<float> reused;
  reused.reserve(kFloats);
  dt = best_of(3, [&] {
    reused.clear();
    qv::JsonReader r(floats);
    return r.read_f32_array(reused).has_value();
  });
  std::printf("read_f32_array (reused vec): %8.1f M floats/s\n", kFloats / dt / 1e6);

  std::string rewritten;
  dt = best_of(3, [&] {
    rewritten.clear();
    qv::JsonWriter w(rewritten);
    w.begin_array();
    for (float f : out) w.f32(f);
    w.end_array();
    return true;
  });
  std::printf("write f32 (JsonWriter::f32): %8.1f M floats/s, identical: %s\n", kFloats / dt / 1e6,
              rewritten == floats ? "yes" : "NO");
}

}  // namespace

// No argument: everything; "tree" or "floats": that part only.
int main(int argc, char** argv) {
  const std::string_view part = argc > 1 ? argv[1] : "";
  if (part.empty() || part == "tree") tree_bench();
  if (part.empty() || part == "floats") float_bench();
  return 0;
}
