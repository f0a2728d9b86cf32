#include "lab/lab_data.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "driver/prompt_file.h"
#include "platform/utf8.h"
#include "reports/progress_line.h"
#include "reports/run_timings.h"

std::string parse_lab_args(int argc, char** argv, const std::vector<std::string>& extra, LabArgs* out) {
  for (int i = 0; i < argc; i++) {
    const std::string a = argv[i];
    const bool takes = std::find(extra.begin(), extra.end(), a) != extra.end();
    std::string* value = a == "--data"                     ? &out->data
                         : a == "-o"                       ? &out->out
                         : a == "--weights" || a == "-m"   ? &out->weights
                         : a == "--json" && takes          ? &out->json
                                                           : nullptr;
    if (a == "--unit" && takes) {
      out->unit = true;
    } else if (a == "--tokenizer") {
      const std::string name = i + 1 < argc ? argv[++i] : "";
      if (name != "greedy" && name != "model") return "--tokenizer must be greedy or model";
      out->model_tokenizer = name == "model";
    } else if (value) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return a + " needs a file";
      *value = argv[++i];
    } else {
      return "unknown argument \"" + a.substr(0, 60) + "\"";
    }
  }
  if (out->data.empty()) return "--data FILE is required";
  if (out->out.empty()) return "-o FILE is required";
  return "";
}

std::string read_data_lines(const std::string& path, std::vector<DataLine>* out) {
  std::string bytes;
  unsigned long error = 0;
  if (!read_whole_file(path.c_str(), &bytes, &error)) {
    return "cannot read " + path + ": " + std::error_code(int(error), std::generic_category()).message();
  }
  int64_t number = 0;
  for (size_t at = 0; at < bytes.size();) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(at, end - at);
    at = end + 1;
    number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::string where = path + " line " + std::to_string(number) + ": ";
    if (!utf8_valid(line.data(), line.size())) return where + "the line is not UTF-8";
    DataLine d{number, {}};
    std::string why;
    if (!parse_json(line, &d.value, &why)) return where + why;
    if (!d.value.is_object()) return where + "the line is not a JSON object";
    out->push_back(std::move(d));
  }
  if (out->empty()) return path + " holds no data lines";
  return "";
}

std::string data_prompt(const std::string& path, const DataLine& d, const char* key, std::string* prompt) {
  const std::string where = path + " line " + std::to_string(d.line) + ": ";
  const Json* v = json_member(d.value, key);
  if (!v || !v->is_string()) return where + "no \"" + key + "\" string";
  *prompt = v->get<std::string>();
  const std::string why = prompt_refusal(*prompt);
  return why.empty() ? "" : where + "the \"" + key + "\" is refused: " + why;
}

bool start_lab_engine(System* sys, const LabArgs& args) {
  parse_run_options(&sys->opts, 1, nullptr, nullptr);  // the defaults
  sys->opts.model_tokenizer = args.model_tokenizer;
  const std::string why = start_engine_quietly(sys, args.weights.c_str());
  if (!why.empty()) fprintf(stderr, "korvane-lab: %s\n", why.c_str());
  return why.empty();
}

void run_lab_prompts(System* sys, const std::vector<std::string>& prompts, float* normed, float* residual) {
  const size_t per_prompt = size_t(geom::kLayers) * geom::kDim;
  Progress progress{stderr, stream_is_terminal(stderr), seconds_now(), int(prompts.size()), 0};
  for (size_t i = 0; i < prompts.size(); i++) {
    const DepthStates states{normed ? normed + i * per_prompt : nullptr, residual ? residual + i * per_prompt : nullptr};
    run_prompt_depths(sys, prompts[i], states);
    progress.done++;
    print_progress(&progress, seconds_now());
  }
}
