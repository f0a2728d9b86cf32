#include "reports/json_records.h"

#include <cmath>
#include <cstdlib>

#include "platform/utf8.h"
#include "reports/audit_all_report.h"
#include "reports/audit_report.h"
#include "vocab/token_render.h"

namespace {
using Json = nlohmann::ordered_json;

// The f32 rounded to 9 significant digits, which reads back as the same f32; null when it is
// not finite.
Json number(float v) {
  if (!std::isfinite(v)) return nullptr;
  char text[32];
  snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
  return strtod(text, nullptr);
}

// The bytes as a valid JSON string: each byte that begins no well-formed character is U+FFFD.
std::string valid_text(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = utf8_char_length(bytes.data() + i, bytes.size() - i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i++;
    } else {
      out.append(bytes, i, n);
      i += n;
    }
  }
  return out;
}

std::string hex_of(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// o[name] = the text; when it is not UTF-8, also o[name + "_hex"] = its bytes in hex.
void put_text(Json& o, const std::string& name, const std::string& bytes) {
  if (utf8_valid(bytes.data(), bytes.size())) {
    o[name] = bytes;
  } else {
    o[name] = valid_text(bytes);
    o[name + "_hex"] = hex_of(bytes);
  }
}

Json telemetry_json(const Telemetry& t) {
  Json rows = Json::array();
  for (int h = 0; h < modes::kTelemetryRows; h++) {
    const DepthReading& d = t.depths[h];
    char hash[16];
    snprintf(hash, sizeof hash, "0x%08X", d.hash);
    Json row{{"layer", h}, {"depth", h + 1}};
    for (int a = 0; a < probe_axis_count(); a++) row[probe_axis_name(a)] = number(d.reading.value[a]);
    row["hash"] = hash;
    rows.push_back(row);
  }
  return rows;
}

const char* stop_name(AnswerStop stop) {
  switch (stop) {
    case AnswerStop::eos: return "eos";
    case AnswerStop::end_of_turn: return "end_of_turn";
    default: return "limit";
  }
}

Json answer_json(const Answer& a) {
  Json ids = Json::array(), logits = Json::array(), texts = Json::array(), hexes = Json::array();
  bool any_hex = false;
  for (int u = 0; u < a.count; u++) {
    ids.push_back(a.tokens[u].id);
    logits.push_back(number(a.tokens[u].logit));
    const std::string text = answer_token_text(a.tokens[u].id);
    const bool valid = utf8_valid(text.data(), text.size());
    texts.push_back(valid ? text : valid_text(text));
    hexes.push_back(valid ? Json(nullptr) : Json(hex_of(text)));
    any_hex = any_hex || !valid;
  }
  Json o{{"ids", ids}, {"logits", logits}, {"texts", texts}};
  if (any_hex) o["texts_hex"] = hexes;
  o["stop"] = stop_name(a.stop);
  return o;
}

Json splice_json(const SpliceDecision& d) {
  return Json{{"decision", d.armed ? "armed" : "closed"},
              {"domain", number(d.reading.value[probe_roles().gate])},
              {"truth", number(d.reading.value[probe_roles().truth])},
              {"beta", number(d.beta)}};
}

Json audit_row_json(const AuditRow& row, int head, float baseline_next) {
  const float delta = head < 0 ? 0.0f : row.truth_next - baseline_next;
  Json o{{"head", head < 0 ? Json(nullptr) : Json(head)},
         {"t14", number(row.truth_at)},
         {"t15", number(row.truth_next)},
         {"delta", number(delta)},
         {"first_token_id", row.first_token}};
  put_text(o, "first_token_text", token_label_text(row.first_token));
  o["verdict"] = head < 0 ? "[受污染基準] 裸機輸出 15% 謊言" : audit_verdict(delta);
  return o;
}

Json audit_json(const Audit& a) {
  Json rows = Json::array();
  rows.push_back(audit_row_json(a.baseline, -1, a.baseline.truth_next));
  for (int h = 0; h < modes::kAuditHeads; h++) rows.push_back(audit_row_json(a.heads[h], h, a.baseline.truth_next));
  Json o{{"rows", rows}, {"best_head", a.best_head}, {"best_delta", number(a.best_delta)}};
  if (a.layer != modes::kAuditLayer) o["layer"] = a.layer;  // t14 and t15 then read this layer and the next
  if (a.mean_ablation) o["ablation"] = "mean";
  return o;
}

// ids, logits and texts (label renderings, U+FFFD for bad bytes, then texts_hex) of n tokens.
Json tokens_json(const int32_t* ids, const float* logits, int n) {
  Json id_list = Json::array(), logit_list = Json::array(), texts = Json::array(), hexes = Json::array();
  bool any_hex = false;
  for (int j = 0; j < n; j++) {
    id_list.push_back(ids[j]);
    logit_list.push_back(number(logits[j]));
    const std::string text = token_label_text(ids[j]);
    const bool valid = utf8_valid(text.data(), text.size());
    texts.push_back(valid ? text : valid_text(text));
    hexes.push_back(valid ? Json(nullptr) : Json(hex_of(text)));
    any_hex = any_hex || !valid;
  }
  Json o{{"ids", id_list}, {"logits", logit_list}, {"texts", texts}};
  if (any_hex) o["texts_hex"] = hexes;
  return o;
}

Json lens_json(const Lens& lens) {
  Json rows = Json::array();
  for (int h = 0; h < modes::kTelemetryRows; h++) {
    Json row{{"layer", h}, {"depth", h + 1}};
    row.update(tokens_json(lens.rows[h].ids, lens.rows[h].logits, lens.k));
    rows.push_back(row);
  }
  return rows;
}

Json audit_all_json(const AuditAll& a) {
  Json next = Json::array(), last = Json::array(), logit = Json::array();
  for (int l = 0; l < int(geom::kLayers); l++) {
    Json n = Json::array(), t = Json::array(), g = Json::array();
    for (int h = 0; h < modes::kAuditHeads; h++) {
      n.push_back(number(a.cells[l][h].delta_next));
      t.push_back(number(a.cells[l][h].delta_last));
      g.push_back(number(a.cells[l][h].delta_logit));
    }
    next.push_back(n);
    last.push_back(t);
    logit.push_back(g);
  }
  auto top = [&](bool by_logit) {
    int cells[kAuditAllTop];
    top_audit_cells(a, by_logit, cells);
    Json list = Json::array();
    for (int c : cells) {
      const AuditAllCell& cell = a.cells[c / modes::kAuditHeads][c % modes::kAuditHeads];
      list.push_back(Json{{"layer", c / modes::kAuditHeads}, {"head", c % modes::kAuditHeads},
                          {"delta", number(by_logit ? cell.delta_logit : cell.delta_last)}});
    }
    return list;
  };
  Json baseline = Json::array();
  for (float r : a.baseline_reading) baseline.push_back(number(r));
  Json o{{"ablation", a.mean_ablation ? "mean" : "zero"}, {"baseline", baseline}, {"next_token_id", a.baseline_next}};
  put_text(o, "next_token_text", token_label_text(a.baseline_next));
  o["next_token_logit"] = number(a.baseline_logit);
  o["delta_next"] = next;
  o["delta_last"] = last;
  o["delta_logit"] = logit;
  o["top_last"] = top(false);
  o["top_logit"] = top(true);
  return o;
}
Json run_object(const RunInfo& run) {
  Json o{{"version", run.version}, {"kernels", run.kernels}, {"threads", run.threads}, {"weights_size", run.weights_size}};
  put_text(o, "weights_path", run.weights_path);
  if (!run.control_vectors.empty()) {
    Json vectors = Json::array();
    for (const auto& [path, scale] : run.control_vectors) {
      Json v{{"scale", number(scale)}};
      put_text(v, "path", path);
      vectors.push_back(v);
    }
    o["control_vectors"] = vectors;
    o["steered_layers"] = run.steered_layers;
  }
  return o;
}
}  // namespace

std::string record_line(const PromptRecord& r, const RunInfo& run) {
  Json o;
  o["index"] = r.index;
  if (r.line > 0) o["line"] = r.line;
  o["id"] = Json::parse(r.id.dump());  // ordered or not, the same value
  put_text(o, "prompt", r.prompt);
  o["mode"] = r.mode;
  if (!r.error.empty()) {
    o["error"] = valid_text(r.error);
  } else {
    Json ids = Json::array();
    for (int32_t i = 0; i < r.prefill_count; i++) ids.push_back(r.prefill_ids[i]);
    o["prefill_ids"] = ids;
    o["truncated"] = r.truncated;
    if (r.gate) {
      o["steering_gate"] = Json{{"axis", probe_axis_name(probe_roles().gate)},
                                {"layers", r.gate->layers},
                                {"reading", number(r.gate->reading.value[probe_roles().gate])},
                                {"open", r.gate->open}};
    }
    if (r.splice) o["splice"] = splice_json(*r.splice);
    if (r.telemetry) o["telemetry"] = telemetry_json(*r.telemetry);
    if (r.lens) o["lens"] = lens_json(*r.lens);
    if (r.answer) o["answer"] = answer_json(*r.answer);
    if (r.audit) o["audit"] = audit_json(*r.audit);
    if (r.audit_all) o["audit_all"] = audit_all_json(*r.audit_all);
  }
  o["run"] = run_object(run);
  return o.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string run_json(const RunInfo& run) { return run_object(run).dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string state_prompt_json(const PromptRecord& r) {
  Json o;
  o["index"] = r.index;
  o["id"] = Json::parse(r.id.dump());
  put_text(o, "prompt", r.prompt);
  return o.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool write_record_line(FILE* out, const std::string& line) {
  const bool written = fwrite(line.data(), 1, line.size(), out) == line.size() && fputc('\n', out) != EOF;
  return fflush(out) == 0 && written && !ferror(out);
}

KeptRecords kept_records(const std::string& text) {
  KeptRecords kept;
  int64_t line_number = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // cut by a stopped run: written again
    line_number++;
    const nlohmann::json record = nlohmann::json::parse(text.begin() + at, text.begin() + end, nullptr, false);
    const auto index = record.is_object() ? record.find("index") : record.end();
    if (!record.is_object() || index == record.end() || !index->is_number_integer()) {
      kept.bad_line = line_number;
      return kept;
    }
    kept.indexes.insert(index->get<int64_t>());
    at = end + 1;
    kept.keep_bytes = at;
  }
  return kept;
}
