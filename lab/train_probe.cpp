// train-probe: a per-depth probe from labelled prompts, with its accuracy at every depth.
#include <cstdio>
#include <memory>

#include "lab/lab_commands.h"
#include "lab/lab_data.h"
#include "probe/probe_file.h"
#include "probe/probe_training.h"

namespace {
// The labelled prompts of a data file: prompts[i] with labels int8 [n][axes] (kNoLabel where a
// line gives none), the axes named in the order the file first names them.
struct LabelledPrompts {
  std::vector<std::string> prompts;
  std::vector<std::string> axes;
  std::vector<int8_t> labels;
};

// Each line {"prompt": "...", "labels": {"<axis>": 0 or 1, ...}}; "" or why the file is refused.
std::string read_labelled(const std::string& path, LabelledPrompts* out) {
  std::vector<DataLine> lines;
  std::string why = read_data_lines(path, &lines);
  if (!why.empty()) return why;
  std::vector<std::vector<std::pair<size_t, int8_t>>> given(lines.size());  // per line: (axis, label)
  for (size_t i = 0; i < lines.size(); i++) {
    const DataLine& d = lines[i];
    const std::string where = path + " line " + std::to_string(d.line) + ": ";
    std::string prompt;
    why = data_prompt(path, d, "prompt", &prompt);
    if (!why.empty()) return why;
    out->prompts.push_back(prompt);
    const Json* labels = json_member(d.value, "labels");
    if (!labels || !labels->is_object()) return where + "no \"labels\" object";
    for (const auto& [name, value] : labels->items()) {
      if (!value.is_number_integer() || (value.get<int64_t>() != 0 && value.get<int64_t>() != 1)) {
        return where + "the label of \"" + name.substr(0, 40) + "\" is not 0 or 1";
      }
      if (name.find(',') != std::string::npos) return where + "the axis name \"" + name.substr(0, 40) + "\" holds a comma";
      size_t axis = 0;
      while (axis < out->axes.size() && out->axes[axis] != name) axis++;
      if (axis == out->axes.size()) out->axes.push_back(name);
      given[i].push_back({axis, int8_t(value.get<int64_t>())});
    }
  }
  if (out->axes.empty()) return path + " labels no axis";
  std::string joined;
  for (const std::string& a : out->axes) joined += (joined.empty() ? "" : ",") + a;
  std::vector<std::string> checked;
  why = axis_names_refusal(joined, &checked);
  if (!why.empty()) return "the labels cannot name a probe's axes: " + why.replace(0, 3, "the");
  out->labels.assign(lines.size() * out->axes.size(), kNoLabel);
  for (size_t i = 0; i < lines.size(); i++) {
    for (const auto& [axis, label] : given[i]) out->labels[i * out->axes.size() + axis] = label;
  }
  return "";
}

// The trained probe as a probe file's per-depth tables.
Probe probe_of(const TrainedProbe& t, const std::vector<std::string>& names) {
  Probe p;
  p.axes = t.axes;
  for (int a = 0; a < t.axes; a++) {
    snprintf(p.names[a], sizeof p.names[a], "%s", names[size_t(a)].c_str());
    snprintf(p.labels[a], sizeof p.labels[a], "%s", names[size_t(a)].c_str());
  }
  p.tables.resize(kTrainingDepths);
  for (int h = 0; h < kTrainingDepths; h++) {
    ProbeTable& table = p.tables[size_t(h)];
    table = ProbeTable{};
    for (int a = 0; a < t.axes; a++) {
      const float* w = t.weight.data() + (size_t(h) * size_t(t.axes) + size_t(a)) * kProbeDim;
      std::copy(w, w + kProbeDim, table.weights[a]);
      table.bias[a] = t.bias[size_t(h) * size_t(t.axes) + size_t(a)];
    }
    const float* b = t.baseline.data() + size_t(h) * kProbeDim;
    std::copy(b, b + kProbeDim, table.baseline);
  }
  return p;
}

// The accuracy table on standard output: a line per depth, two fractions per axis.
void print_accuracy(const std::vector<std::string>& axes, const std::vector<AxisAccuracy>& acc) {
  printf("accuracy at each depth (training / 5-fold cross-validated):\n\ndepth");
  for (const std::string& a : axes) printf("  %15s", a.c_str());
  printf("\n");
  for (int h = 0; h < kTrainingDepths; h++) {
    printf("%5d", h);
    for (const AxisAccuracy& x : acc) printf("    %5.3f / %5.3f", x.train[h], x.cross_validated[h]);
    printf("\n");
  }
  printf(" best");
  for (const AxisAccuracy& x : acc) printf("  %6d (cv %5.3f)", x.best_depth, x.cross_validated[x.best_depth]);
  printf("\n");
}

// The same table as JSON: {"prompts", "axes": {name: {"train": [18], "cross_validated": [18], "best_depth"}}}.
std::string accuracy_json(size_t prompts, const std::vector<std::string>& axes, const std::vector<AxisAccuracy>& acc) {
  Json doc = Json::object();
  doc["prompts"] = prompts;
  doc["folds"] = kCrossValidationFolds;
  Json per_axis = Json::object();
  for (size_t a = 0; a < axes.size(); a++) {
    const AxisAccuracy& x = acc[a];
    per_axis[axes[a]] = {{"train", std::vector<double>(x.train, x.train + kTrainingDepths)},
                         {"cross_validated", std::vector<double>(x.cross_validated, x.cross_validated + kTrainingDepths)},
                         {"best_depth", x.best_depth}};
  }
  doc["axes"] = per_axis;
  return doc.dump() + "\n";
}

bool report_failure(const std::string& why) {
  if (!why.empty()) fprintf(stderr, "korvane-lab: %s\n", why.c_str());
  return !why.empty();
}
}  // namespace

int train_probe_command(int argc, char** argv) {
  LabArgs args;
  if (report_failure(parse_lab_args(argc, argv, {"--json"}, &args))) return 2;
  LabelledPrompts data;
  if (report_failure(read_labelled(args.data, &data))) return 1;
  TrainingSet set{nullptr, data.labels.data(), int64_t(data.prompts.size()), int(data.axes.size())};
  if (report_failure(training_refusal(set, data.axes))) return 1;

  static System sys;  // large (prompt buffers, context): kept off the stack
  if (!start_lab_engine(&sys, args)) return 1;
  // f32 [n][18][2048]: every prompt's final-normalised state after each depth (147 KB a prompt)
  std::vector<float> states(data.prompts.size() * kTrainingDepths * kProbeDim);
  run_lab_prompts(&sys, data.prompts, states.data(), nullptr);
  set.states = states.data();

  const Probe probe = probe_of(train_probe(set), data.axes);
  const std::vector<AxisAccuracy> accuracy = probe_accuracy(set);
  if (report_failure(write_file_whole(args.out, probe_file_bytes(probe)))) return 1;
  if (!args.json.empty() && report_failure(write_file_whole(args.json, accuracy_json(data.prompts.size(), data.axes, accuracy)))) {
    return 1;
  }
  printf("wrote %s: %zu axes trained on %zu prompts, one table per depth\n\n", args.out.c_str(), data.axes.size(),
         data.prompts.size());
  print_accuracy(data.axes, accuracy);
  return 0;
}
