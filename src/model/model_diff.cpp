#include "model/model_diff.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/float_text.h"
#include "core/json.h"

namespace qv {
namespace {

constexpr std::string_view kKindTexts[] = {"lora", "ia3", "full", "in-place-ttt"};
constexpr std::string_view kUnknownVariantTail = ", expected one of `lora`, `ia3`, `full`, `in-place-ttt`";
constexpr std::string_view kDiffWhat = "internally tagged enum ModelDiff";

constexpr std::string_view kEnvelopeFields[] = {"layout", "diff"};
constexpr std::string_view kLoraFields[] = {"adapters"};
constexpr std::string_view kAdapterFields[] = {"layer_id", "matrix", "rank", "in_dim", "out_dim", "a", "b"};
constexpr std::string_view kIa3Fields[] = {"scaling"};
constexpr std::string_view kFullFields[] = {"params"};
constexpr std::string_view kTttFields[] = {"steps"};
constexpr std::string_view kStepFields[] = {"step_id", "deltas"};

// The envelope is the document itself, so surplus array values are trailing
// text; records nested in the diff report their surplus as a length error.
constexpr RecordSpec kEnvelopeSpec{"struct Envelope", kEnvelopeFields, 2, 0, true};
constexpr RecordSpec kAdapterSpec{"struct LoraAdapter", kAdapterFields, 7, 0, false};
constexpr RecordSpec kStepSpec{"struct TttStep", kStepFields, 2, 0, false};
// Payload records, indexed like the variants.
constexpr RecordSpec kPayloadSpecs[] = {
    {"struct LoraDelta", kLoraFields, 1, 0, false},
    {"struct IA3Delta", kIa3Fields, 1, 0, false},
    {"struct FullDelta", kFullFields, 1, 0, false},
    {"struct InPlaceTttDelta", kTttFields, 1, 0, false},
};

// ------------------------------------------------------------ writing --

void write_floats(JsonWriter& w, const FloatVec& v) {
  w.begin_array();
  for (float x : v) w.f32(x);
  w.end_array();
}

void write_param_map(JsonWriter& w, const ParamMap& m) {
  w.begin_object();
  for (const auto& [name, v] : m) {
    w.key(name);
    write_floats(w, v);
  }
  w.end_object();
}

void write_payload(JsonWriter& w, const LoraDelta& d) {
  w.key("adapters");
  w.begin_array();
  for (const LoraAdapter& a : d.adapters) {
    w.begin_object();
    w.key("layer_id");
    w.u64(a.layer_id);
    w.key("matrix");
    w.string(a.matrix);
    w.key("rank");
    w.u64(a.rank);
    w.key("in_dim");
    w.u64(a.in_dim);
    w.key("out_dim");
    w.u64(a.out_dim);
    w.key("a");
    write_floats(w, a.a);
    w.key("b");
    write_floats(w, a.b);
    w.end_object();
  }
  w.end_array();
}

void write_payload(JsonWriter& w, const IA3Delta& d) {
  w.key("scaling");
  w.begin_object();
  for (const auto& [layer, matrices] : d.scaling) {
    w.key(layer);
    write_param_map(w, matrices);
  }
  w.end_object();
}

void write_payload(JsonWriter& w, const FullDelta& d) {
  w.key("params");
  write_param_map(w, d.params);
}

void write_payload(JsonWriter& w, const InPlaceTttDelta& d) {
  w.key("steps");
  w.begin_array();
  for (const TttStep& s : d.steps) {
    w.begin_object();
    w.key("step_id");
    w.u64(s.step_id);
    w.key("deltas");
    write_param_map(w, s.deltas);
    w.end_object();
  }
  w.end_array();
}

// Calls f(where, vector) for every float list of the diff; `where` names the
// list for messages and is built only when asked for.
template <class F>
Status for_each_vector(const ModelDiff& d, F&& f) {
  if (const auto* lora = std::get_if<LoraDelta>(&d)) {
    for (const LoraAdapter& a : lora->adapters) {
      auto name = [&](char which) {
        return "LoraAdapter L" + std::to_string(a.layer_id) + "/" + a.matrix + " " + which;
      };
      QV_TRY(f([&] { return name('a'); }, a.a));
      QV_TRY(f([&] { return name('b'); }, a.b));
    }
  } else if (const auto* ia3 = std::get_if<IA3Delta>(&d)) {
    for (const auto& [layer, matrices] : ia3->scaling) {
      for (const auto& [matrix, v] : matrices) {
        QV_TRY(f([&] { return "IA3 layer " + layer + " matrix " + matrix; }, v));
      }
    }
  } else if (const auto* full = std::get_if<FullDelta>(&d)) {
    for (const auto& [name, v] : full->params) QV_TRY(f([&] { return "Full param " + name; }, v));
  } else {
    for (const TttStep& s : std::get<InPlaceTttDelta>(d).steps) {
      for (const auto& [name, v] : s.deltas) {
        QV_TRY(f([&] { return "TttStep " + std::to_string(s.step_id) + " param " + name; }, v));
      }
    }
  }
  return {};
}

size_t float_count(const ModelDiff& d) {
  size_t n = 0;
  (void)for_each_vector(d, [&](auto&&, const FloatVec& v) -> Status {
    n += v.size();
    return {};
  });
  return n;
}

// A non-finite float would be written as null, which no reader accepts as a
// float: the stored diff could never be loaded again. Refusing it here keeps
// every stored diff readable.
Status check_finite(const ModelDiff& d) {
  return for_each_vector(d, [](auto&& where, const FloatVec& v) -> Status {
    // Exponent bits all ones means infinity or NaN; a plain scan vectorises.
    bool bad = false;
    for (float x : v) bad |= !std::isfinite(x);
    if (!bad) return {};
    for (size_t i = 0; i < v.size(); ++i) {
      if (!std::isfinite(v[i])) {
        return integrity_error(where() + ": element " + std::to_string(i) + " is " + plain_f64(v[i]) +
                               ", which a model diff cannot store");
      }
    }
    return {};
  });
}

// ------------------------------------------------------------ reading --

std::unexpected<CoreError> fail(const CoreError& e) { return std::unexpected(e); }

// Every float list: an array of numbers; repeated map keys replace the list.
Status read_param_map(JsonReader& r, ParamMap& m) {
  QV_TRY(r.begin_object("a map"));
  std::string key;
  for (;;) {
    auto more = r.next_key(key);
    if (!more) return fail(more.error());
    if (!*more) return {};
    FloatVec& v = m[key];
    v.clear();
    QV_TRY(r.read_f32_array(v));
  }
}

template <class Int, class Reader>
Status read_uint(Reader&& read, Int& out) {
  auto v = read();
  if (!v) return fail(v.error());
  out = *v;
  return {};
}

Status read_adapter(JsonReader& r, LoraAdapter& a) {
  auto present = read_record(r, kAdapterSpec, [&](size_t i) -> Status {
    switch (i) {
      case 0: return read_uint([&] { return r.read_u32(); }, a.layer_id);
      case 1: a.matrix.clear(); return r.read_string_into(a.matrix);
      case 2: return read_uint([&] { return r.read_u32(); }, a.rank);
      case 3: return read_uint([&] { return r.read_u32(); }, a.in_dim);
      case 4: return read_uint([&] { return r.read_u32(); }, a.out_dim);
      case 5: a.a.clear(); return r.read_f32_array(a.a);
      default: a.b.clear(); return r.read_f32_array(a.b);
    }
  });
  if (!present) return fail(present.error());
  return {};
}

Status read_step(JsonReader& r, TttStep& s) {
  auto present = read_record(r, kStepSpec, [&](size_t i) -> Status {
    if (i == 0) return read_uint([&] { return r.read_u32(); }, s.step_id);
    s.deltas.clear();
    return read_param_map(r, s.deltas);
  });
  if (!present) return fail(present.error());
  return {};
}

template <class T, class F>
Status read_list(JsonReader& r, std::vector<T>& out, F&& read_one) {
  out.clear();
  QV_TRY(r.begin_array("a sequence"));
  for (;;) {
    auto more = r.next_element();
    if (!more) return fail(more.error());
    if (!*more) return {};
    out.emplace_back();
    QV_TRY(read_one(r, out.back()));
  }
}

// The value of the payload's one field, for the variant chosen by kind.
Status read_payload_field(JsonReader& r, size_t kind, ModelDiff& out) {
  switch (kind) {
    case 0: return read_list(r, std::get<LoraDelta>(out).adapters, read_adapter);
    case 1: {
      auto& scaling = std::get<IA3Delta>(out).scaling;
      scaling.clear();
      QV_TRY(r.begin_object("a map"));
      std::string layer;
      for (;;) {
        auto more = r.next_key(layer);
        if (!more) return fail(more.error());
        if (!*more) return {};
        ParamMap& matrices = scaling[layer];
        matrices.clear();
        QV_TRY(read_param_map(r, matrices));
      }
    }
    case 2: {
      auto& params = std::get<FullDelta>(out).params;
      params.clear();
      return read_param_map(r, params);
    }
    default: return read_list(r, std::get<InPlaceTttDelta>(out).steps, read_step);
  }
}

ModelDiff empty_diff_of_kind(size_t kind) {
  switch (kind) {
    case 0: return LoraDelta{};
    case 1: return IA3Delta{};
    case 2: return FullDelta{};
    default: return InPlaceTttDelta{};
  }
}

// The variant named by a tag value; the reader is at the value.
Result<size_t> read_kind(JsonReader& r) {
  auto type = r.peek_type();
  if (!type) return fail(type.error());
  if (*type != JsonType::kString) return fail(r.invalid_type("variant identifier"));
  auto text = r.read_string();
  if (!text) return fail(text.error());
  for (size_t i = 0; i < std::size(kKindTexts); ++i) {
    if (*text == kKindTexts[i]) return i;
  }
  return fail(r.error("unknown variant `" + *text + "`" + std::string(kUnknownVariantTail)));
}

// Decodes the payload of an already scanned diff value at which `r` stands,
// object form or array form [kind, fields...].
Status decode_payload(JsonReader& r, size_t kind, bool array_form, ModelDiff& out) {
  out = empty_diff_of_kind(kind);
  const RecordSpec& spec = kPayloadSpecs[kind];
  if (!array_form) {
    // "kind" is not a payload field, so the record reader skips it.
    auto present = read_record(r, spec, [&](size_t) { return read_payload_field(r, kind, out); });
    if (!present) return fail(present.error());
    return {};
  }
  QV_TRY(r.begin_array(kDiffWhat));
  auto more = r.next_element();
  if (!more) return fail(more.error());
  QV_TRY(r.skip_value());  // the tag, checked by the scan
  size_t n = 0;
  for (;;) {
    more = r.next_element();
    if (!more) return fail(more.error());
    if (!*more) break;
    if (n == spec.fields.size()) {
      size_t total = n;
      for (;;) {
        QV_TRY(r.skip_value());
        ++total;
        more = r.next_element();
        if (!more) return fail(more.error());
        if (!*more) break;
      }
      return fail(r.invalid_length(total, "1 element in sequence"));
    }
    QV_TRY(read_payload_field(r, kind, out));
    ++n;
  }
  if (n < spec.fields.size()) {
    return fail(r.invalid_length(n, array_length_text(spec.type_name, spec.fields.size())));
  }
  return {};
}

// The diff value when its first key is "kind", as in every document this
// system writes: one pass, no scan. Any failure returns false and leaves the
// exact error (and its position) to the general path, which reads the same
// text again; a success here is a success there with the same value.
bool read_diff_kind_first(JsonReader& r, ModelDiff& out) {
  auto type = r.peek_type();
  if (!type || *type != JsonType::kObject || !r.begin_object(kDiffWhat)) return false;
  std::string key;
  auto more = r.next_key(key);
  if (!more || !*more || key != "kind") return false;
  auto kind = read_kind(r);
  if (!kind) return false;
  out = empty_diff_of_kind(*kind);
  const std::string_view field = kPayloadSpecs[*kind].fields[0];
  bool have_field = false;
  for (;;) {
    more = r.next_key(key);
    if (!more) return false;
    if (!*more) return have_field;
    if (key == field) {
      if (have_field || !read_payload_field(r, *kind, out)) return false;
      have_field = true;
    } else if (key == "kind" || !r.skip_value()) {
      return false;
    }
  }
}

// The diff value. In general it is scanned in full first (syntax, the tag,
// its extent) and its payload decoded afterwards by a second reader started
// where the value starts: the tag may come after the payload, and no generic
// value tree is built. Decode errors are pinned to the end of the value,
// where the scan stopped.
Status read_diff(JsonReader& r, ModelDiff& out) {
  const JsonReader at_start = r;  // readers are plain values: a copy is a saved position
  if (read_diff_kind_first(r, out)) return {};
  r = at_start;
  auto type = r.peek_type();
  if (!type) return fail(type.error());
  size_t kind = std::size(kKindTexts);
  const bool array_form = *type == JsonType::kArray;
  if (*type == JsonType::kObject) {
    QV_TRY(r.begin_object(kDiffWhat));
    std::string key;
    for (;;) {
      auto more = r.next_key(key);
      if (!more) return fail(more.error());
      if (!*more) break;
      if (key != "kind") {
        QV_TRY(r.skip_value());
        continue;
      }
      if (kind != std::size(kKindTexts)) return fail(r.error("duplicate field `kind`"));
      auto k = read_kind(r);
      if (!k) return fail(k.error());
      kind = *k;
    }
    if (kind == std::size(kKindTexts)) return fail(r.error("missing field `kind`"));
  } else if (array_form) {
    QV_TRY(r.begin_array(kDiffWhat));
    auto more = r.next_element();
    if (!more) return fail(more.error());
    if (!*more) return fail(r.error("missing field `kind`"));
    auto k = read_kind(r);
    if (!k) return fail(k.error());
    kind = *k;
    for (;;) {
      more = r.next_element();
      if (!more) return fail(more.error());
      if (!*more) break;
      QV_TRY(r.skip_value());
    }
  } else {
    return fail(r.invalid_type(kDiffWhat));
  }
  JsonReader payload = at_start;
  payload.pin_error_offset(r.offset());
  return decode_payload(payload, kind, array_form, out);
}

}  // namespace

std::string_view model_diff_kind_text(const ModelDiff& d) { return kKindTexts[d.index()]; }

size_t entry_count(const ModelDiff& d) {
  return std::visit(
      [](const auto& v) -> size_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, LoraDelta>) return v.adapters.size();
        else if constexpr (std::is_same_v<T, IA3Delta>) return v.scaling.size();
        else if constexpr (std::is_same_v<T, FullDelta>) return v.params.size();
        else return v.steps.size();
      },
      d);
}

Status canonicalize_diff(ModelDiff& d) {
  if (auto* lora = std::get_if<LoraDelta>(&d)) {
    std::stable_sort(lora->adapters.begin(), lora->adapters.end(), [](const LoraAdapter& x, const LoraAdapter& y) {
      if (x.layer_id != y.layer_id) return x.layer_id < y.layer_id;
      return x.matrix < y.matrix;
    });
    for (const LoraAdapter& a : lora->adapters) {
      const uint64_t want_a = uint64_t{a.rank} * a.in_dim;
      const uint64_t want_b = uint64_t{a.out_dim} * a.rank;
      const std::string name = "LoraAdapter L" + std::to_string(a.layer_id) + "/" + a.matrix;
      if (a.a.size() != want_a) {
        return integrity_error(name + ": a.len " + std::to_string(a.a.size()) + " \u2260 rank\u00b7in_dim " +
                               std::to_string(want_a));
      }
      if (a.b.size() != want_b) {
        return integrity_error(name + ": b.len " + std::to_string(a.b.size()) + " \u2260 out_dim\u00b7rank " +
                               std::to_string(want_b));
      }
    }
  } else if (auto* ttt = std::get_if<InPlaceTttDelta>(&d)) {
    std::stable_sort(ttt->steps.begin(), ttt->steps.end(),
                     [](const TttStep& x, const TttStep& y) { return x.step_id < y.step_id; });
  }
  return check_finite(d);
}

std::string encode_diff(const ModelDiff& d) {
  std::string out;
  // Room for the longest float text ("-1.1754944e-38,") per element plus
  // the structure; pages never written are never touched.
  out.reserve(float_count(d) * 16 + 256);
  JsonWriter w(out);
  w.begin_object();
  w.key("layout");
  w.string(kModelDiffLayout);
  w.key("diff");
  w.begin_object();
  w.key("kind");
  w.string(model_diff_kind_text(d));
  std::visit([&](const auto& payload) { write_payload(w, payload); }, d);
  w.end_object();
  w.end_object();
  return out;
}

Result<ModelDiff> decode_diff(std::string_view bytes) {
  try {
    JsonReader r(bytes);
    std::string layout;
    ModelDiff diff;
    auto present = read_record(r, kEnvelopeSpec, [&](size_t i) -> Status {
      if (i == 0) {
        layout.clear();
        return r.read_string_into(layout);
      }
      return read_diff(r, diff);
    });
    if (!present) return fail(present.error());
    QV_TRY(r.finish());
    if (layout != kModelDiffLayout) {
      return integrity_error("expected layout " + std::string(kModelDiffLayout) + ", got " + layout);
    }
    return diff;
  } catch (const std::bad_alloc&) {
    return io_error("out of memory while reading a model diff of " + std::to_string(bytes.size()) + " bytes");
  }
}

Result<Digest> put_diff(BlobStore& blobs, ModelDiff diff) {
  QV_TRY(canonicalize_diff(diff));
  std::string text;
  try {
    text = encode_diff(diff);
  } catch (const std::bad_alloc&) {
    return io_error("out of memory while writing a model diff");
  }
  // The floats are no longer needed; release them before compression, which
  // needs its own buffers.
  diff = LoraDelta{};
  return blobs.put(text);
}

Result<ModelDiff> get_diff(BlobStore& blobs, const Digest& digest) {
  auto bytes = blobs.get(digest);
  if (!bytes) return fail(bytes.error());
  return decode_diff(*bytes);
}

}  // namespace qv
