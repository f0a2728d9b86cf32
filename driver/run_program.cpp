#include "driver/run_program.h"

#include <cstring>
#include <deque>
#include <memory>

#include "engine/batch_step.h"
#include "driver/startup.h"
#include "platform/platform.h"
#include "probe/probe_tables.h"
#include "reports/console_checks.h"
#include "reports/html_report.h"
#include "reports/json_records.h"
#include "reports/progress_line.h"
#include "reports/run_timings.h"
#include "reports/splice_report.h"
#include "reports/telemetry_report.h"
#include "runs/audit_all_run.h"
#include "runs/audit_run.h"
#include "runs/splice_run.h"
#include "runs/steering_gate.h"
#include "runs/telemetry_run.h"

namespace {
// What one run of the mode measured.
struct ModeRecords {
  Telemetry telemetry;
  Answer answer;
  SpliceDecision splice;
  Audit audit;
  SteeringGate gate;
  bool gated;     // gate holds gated steering's decision
  AuditAll audit_all;
  Lens lens;
  bool answered;  // telemetry and answer hold a run (every mode but the audit)
  bool spliced;   // splice holds the splice mode's decision
  bool audited;   // audit holds the audit
  bool swept;     // audit_all holds the sweep over every layer
};

// Runs the mode the options chose and keeps what it measured in m.
void run_mode(System& sys, Schedule schedule, ModeRecords* m) {
  TokenStepFn step = sys.images.token_step;
  m->answered = !sys.opts.audit_heads;
  m->spliced = !sys.opts.audit_heads && sys.opts.splice_substitute;
  m->swept = sys.opts.audit_all;
  m->audited = sys.opts.audit_heads && !m->swept;
  m->lens.k = sys.opts.lens;
  Lens* const lens = sys.opts.lens > 0 ? &m->lens : nullptr;
  m->gated = steering_gated(sys.opts);
  if (schedule == Schedule::literal) {
    if (m->gated) {
      m->gate = decide_steering_gate(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, steering_gate_layers(sys.opts));
    }
    if (m->audited) {
      m->audit = run_head_audit(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, sys.opts.audit_layer);
      return;
    }
    if (m->spliced) {
      m->splice = decide_splice(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, sys.opts.beta, sys.splice_buffer);
    }
    run_telemetry_and_generation(step, &sys.ctx, sys.prompt_ids, sys.prefill_length, &m->telemetry, &m->answer, lens);
    return;
  }
  const PromptPass pass = prompt_pass_of(&sys);
  const DepthStates states{sys.state_normed, sys.state_residual, lens};
  if (m->gated) m->gate = decide_shared_steering_gate(pass, steering_gate_layers(sys.opts));
  if (m->swept) {
    run_audit_all(pass, sys.opts.ablate_mean, &m->audit_all);
  } else if (m->audited) {
    m->audit = run_shared_head_audit(pass, sys.opts.audit_layer, sys.opts.ablate_mean);
  } else if (m->spliced) {
    m->splice = run_shared_splice_run(step, pass, sys.opts.beta, sys.splice_buffer, &m->telemetry, &m->answer, states);
  } else {
    run_shared_telemetry_and_generation(step, pass, &m->telemetry, &m->answer, states);
  }
}

const char* mode_name(const RunOptions& opts) {
  return opts.audit_all ? "audit_all" : opts.audit_heads ? "audit" : opts.splice_substitute ? "splice" : "default";
}

// Writes one record to the --json stream, or ends the run when it cannot.
void write_record(const System& sys, const PromptRecord& r) {
  if (!write_record_line(sys.records, record_line(r, run_info_of(sys)))) records_failed(sys);
}

// Keeps the record for the --report page.
void keep_for_report(System& sys, const PromptRecord& r) {
  if (sys.opts.report_path[0] != '\0') sys.report_records.push_back(record_line(r, run_info_of(sys)));
}

// Writes the --report page from the records kept, or ends the run when it cannot.
void finish_report(const System& sys) {
  if (sys.opts.report_path[0] == '\0') return;
  ReportRun run;
  run.mode = mode_name(sys.opts);
  run.prompt_file = sys.opts.prompts_path;
  run.wall_seconds = seconds_now() - sys.started;
  for (int a = 0; a < probe_axis_count(); a++) {
    run.axis_names.push_back(probe_axis_name(a));
    run.axis_labels.push_back(probe_axis_label(a));
  }
  run.gate_axis = probe_axis_name(probe_roles().gate);
  run.truth_axis = probe_axis_name(probe_roles().truth);
  const std::string page = report_html(report_data_json(sys.report_records, run_json(run_info_of(sys)), run));
  const std::string why = write_report_file(sys.opts.report_path, page);
  if (!why.empty()) fatal("The report could not be written to %s: %s", sys.opts.report_path, why.c_str());
}

// The record of the run that just ended for the prompt in sys.opts.prompt.
PromptRecord record_of(const System& sys, const ModeRecords& m) {
  PromptRecord r;
  r.prompt = sys.opts.prompt;
  r.mode = mode_name(sys.opts);
  r.prefill_ids = sys.prompt_ids;
  r.prefill_count = sys.prefill_length;
  r.truncated = sys.truncated;
  if (m.answered) {
    r.telemetry = &m.telemetry;
    r.answer = &m.answer;
  }
  if (m.spliced) r.splice = &m.splice;
  if (m.gated) r.gate = &m.gate;
  if (m.audited) r.audit = &m.audit;
  if (m.swept) r.audit_all = &m.audit_all;
  if (m.answered && sys.opts.lens > 0) r.lens = &m.lens;
  return r;
}

// Adds the states the run of prompt r just caught to the --states file, or ends the run.
void keep_states(System& sys, const PromptRecord& r) {
  if (sys.states.spill < 0) return;
  std::string why = state_file_add_prompt(&sys.states, r.index, sys.state_normed, sys.state_residual, sys.prompt_ids,
                                          sys.prefill_length);
  if (!why.empty()) fatal("The states could not be written to %s: %s", sys.opts.states_path, why.c_str());
  if (!sys.state_prompts.empty()) sys.state_prompts += ',';
  sys.state_prompts += state_prompt_json(r);
}

// Completes the --states file under its name.
void finish_states(System& sys) {
  if (sys.states.spill < 0) return;
  const std::string why = state_file_finish(&sys.states, "[" + sys.state_prompts + "]", run_json(run_info_of(sys)));
  if (!why.empty()) fatal("The states could not be written to %s: %s", sys.opts.states_path, why.c_str());
}

// Runs the prompt start-up left ready; returns its times.
RunTimes run_prompt(System& sys, Schedule schedule, ModeRecords* m) {
  RunTimes times{};
  times.started = sys.started;
  times.run_began = seconds_now();
  times.prompt_tokens = sys.prefill_length;
  run_mode(sys, schedule, m);
  times.answered = m->answered;
  if (m->answered) times.answer = m->answer;
  times.ended = seconds_now();
  stop_if_output_failed();
  return times;
}

Progress progress_for(int total) {
  // In place only when the report is not on the same terminal, where the two would mix.
  return Progress{stderr, stream_is_terminal(stderr) && !stream_is_terminal(stdout), seconds_now(), total, 0};
}

// A refused line of the prompt file: its warning and its record.
void report_refused_line(System& sys, const PromptLine* p, BatchTimes* batch) {
  warn("Prompt %lld (line %lld) refused: %s", static_cast<long long>(p->index), static_cast<long long>(p->line),
       p->error.c_str());
  batch->refused++;
  PromptRecord r;
  r.index = p->index;
  r.line = p->line;
  r.id = p->id;
  r.prompt = p->text;
  r.mode = mode_name(sys.opts);
  r.error = p->error;
  if (sys.records) write_record(sys, r);
  keep_for_report(sys, r);
}

// The records of the run of line p that just ended (its prompt and ids in sys).
void keep_prompt_records(System& sys, const PromptLine* p, const ModeRecords& m) {
  PromptRecord r = record_of(sys, m);
  r.index = p->index;
  r.line = p->line;
  r.id = p->id;
  if (sys.records) write_record(sys, r);
  keep_for_report(sys, r);
  keep_states(sys, r);
}

// One prompt of a batched --prompts run, from its prompt pass until its report is printed.
struct PromptFlight {
  const PromptLine* line;
  ModeRecords m;
  int32_t ids[kPromptIdCapacity];
  int32_t prefill_length;
  bool marking_cut, ids_cut, truncated;
  std::vector<float> normed, residual;  // f32 [18][2048] each, with --states: the rows' states
  InferenceContext ctx;                 // the prompt's own: its caches, controls as its pass left them
  std::vector<float> keys, values;      // f32 [18][ctx.max_positions][256]: its caches
  std::vector<float> hidden, logits;    // f32 [2048], f32 [256000]: its pass's last reading
  DepthStates states;                   // where its pass copies its rows' states
  AnswerRun run;                        // points at ctx and m.answer
  RunTimes times;
  bool generating;                      // its answer needs more steps
};

// Needs: the shared schedule, a mode that generates. Tokenizes line p's prompt without printing
// and gives it a context of its own, with caches as long as its answer can make the sequence,
// ready for its prompt pass. A refused line only waits for its turn.
std::unique_ptr<PromptFlight> prepare_flight(System& sys, const PromptLine* p) {
  auto f = std::make_unique<PromptFlight>();
  f->line = p;
  f->generating = false;
  if (!p->error.empty()) return f;
  memcpy(sys.opts.prompt, p->text.c_str(), p->text.size() + 1);
  f->times.started = sys.started;
  f->times.run_began = seconds_now();
  begin_prompt_quietly(&sys);
  const int32_t n = sys.prefill_length;
  memcpy(f->ids, sys.prompt_ids, sizeof f->ids);
  f->prefill_length = n;
  f->marking_cut = sys.marking_cut;
  f->ids_cut = sys.ids_cut;
  f->truncated = sys.truncated;
  ModeRecords& m = f->m;
  m.answered = true;
  m.spliced = sys.opts.splice_substitute;
  m.audited = m.swept = false;
  m.gated = steering_gated(sys.opts);
  m.lens.k = sys.opts.lens;
  f->states = DepthStates{nullptr, nullptr, sys.opts.lens > 0 ? &m.lens : nullptr};
  if (sys.states.spill >= 0) {
    f->normed.resize(modes::kTelemetryRows * geom::kDim);
    f->residual.resize(modes::kTelemetryRows * geom::kDim);
    f->states.normed = f->normed.data();
    f->states.residual = f->residual.data();
  }
  const uint64_t rows = uint64_t(n) + modes::kMaxAnswerTokens;
  f->ctx = sys.ctx;
  f->ctx.max_positions = rows;
  f->keys.resize(geom::kLayers * rows * geom::kKvDim);
  f->values.resize(geom::kLayers * rows * geom::kKvDim);
  f->hidden.resize(geom::kDim);
  f->logits.resize(geom::kVocab);
  f->ctx.key_cache = f->keys.data();
  f->ctx.value_cache = f->values.data();
  f->ctx.hidden = f->hidden.data();
  f->ctx.logits = f->logits.data();
  return f;
}

// The pass of a flight whose rows are at `rows`: its own context, start-up's work area.
PromptPass pass_of_flight(System& sys, PromptFlight* f, float* rows, float* saved) {
  PromptPass pass = prompt_pass_of(&sys);
  pass.ctx = &f->ctx;
  pass.ids = f->ids;
  pass.count = f->prefill_length;
  pass.rows = rows;
  pass.saved = saved;
  return pass;
}

// Runs the prompt passes of the prepared flights (none refused), then takes each one's first
// answer token. Their layers run packed, the positions of all of them in shared blocks.
void start_flights(System& sys, const std::vector<PromptFlight*>& starting) {
  const uint64_t count = starting.size();
  if (count == 0) return;
  std::vector<int32_t> next(count);
  uint64_t total = 0;
  for (const PromptFlight* f : starting) total += uint64_t(f->prefill_length);
  // f32 [total][2048] each: every flight's rows, one after another, and (for the splice) their snapshot
  std::vector<float> rows(total * geom::kDim), saved(sys.opts.splice_substitute ? total * geom::kDim : 0);
  std::vector<PromptPass> passes;
  std::vector<Telemetry*> telemetry;
  std::vector<DepthStates> states;
  uint64_t at = 0;
  for (PromptFlight* f : starting) {
    passes.push_back(pass_of_flight(sys, f, rows.data() + at * geom::kDim,
                                    saved.empty() ? nullptr : saved.data() + at * geom::kDim));
    at += uint64_t(f->prefill_length);
    telemetry.push_back(&f->m.telemetry);
    states.push_back(f->states);
  }
  if (starting[0]->m.gated) {
    std::vector<SteeringGate> gates(count);
    set_packed_steering_gates(passes.data(), count, steering_gate_layers(sys.opts), gates.data());
    for (uint64_t i = 0; i < count; i++) starting[i]->m.gate = gates[i];
  }
  if (sys.opts.splice_substitute) {
    std::vector<SpliceDecision> d(count);
    run_packed_splice_telemetry(passes.data(), count, sys.opts.beta, sys.splice_buffer, telemetry.data(), states.data(),
                                next.data(), d.data());
    for (uint64_t i = 0; i < count; i++) starting[i]->m.splice = d[i];
  } else {
    run_packed_telemetry(passes.data(), count, telemetry.data(), states.data(), next.data());
  }
  for (uint64_t i = 0; i < count; i++) {
    PromptFlight* f = starting[i];
    start_answer(&f->run, &f->ctx, f->prefill_length, next[i], f->ctx.logits, &f->m.answer);
    f->generating = take_answer_token(&f->run);
  }
}

// Ends a flight's answer and lets its caches go.
void land_flight(PromptFlight* f) {
  end_answer(&f->run);
  f->keys = std::vector<float>();
  f->values = std::vector<float>();
  f->logits = std::vector<float>();
}

// Prints a flight's whole report as the run of its prompt alone prints it, and writes its records.
void report_flight(System& sys, PromptFlight& f, BatchTimes* batch) {
  const PromptLine* p = f.line;
  if (!p->error.empty()) {
    report_refused_line(sys, p, batch);
    return;
  }
  memcpy(sys.opts.prompt, p->text.c_str(), p->text.size() + 1);
  memcpy(sys.prompt_ids, f.ids, sizeof f.ids);
  sys.prefill_length = f.prefill_length;
  sys.marking_cut = f.marking_cut;
  sys.ids_cut = f.ids_cut;
  sys.truncated = f.truncated;
  if (sys.states.spill >= 0) {
    memcpy(sys.state_normed, f.normed.data(), f.normed.size() * sizeof(float));
    memcpy(sys.state_residual, f.residual.data(), f.residual.size() * sizeof(float));
  }
  const ModeRecords& m = f.m;
  print_input_prompt(sys);
  warn_prompt_cuts(f.marking_cut, f.ids_cut);
  print_prefill_length(f.prefill_length);
  if (m.gated) print_steering_gate(m.gate);
  if (m.spliced) print_splice_decision(m.splice);
  print_telemetry_and_lens(m.telemetry, sys.opts.lens > 0 ? &m.lens : nullptr);
  print_generation_header();
  print_answer(m.answer);
  f.times.prompt_tokens = f.prefill_length;
  f.times.answered = true;
  f.times.answer = m.answer;
  f.times.ended = seconds_now();
  add_run_times(batch, f.times);
  stop_if_output_failed();
  keep_prompt_records(sys, p, m);
}

// The --prompts run of a generating mode in the shared schedule with up to `width` prompts in
// flight: the passes of the prompts that join together packed into shared blocks, their
// answers' steps together (one sweep of
// the weights per step for all), each report printed whole and in file order once its answer
// and every earlier one are done. The prompt and answer seconds are the wall time of the passes
// (prompts that join together share theirs) and of the steps.
void run_prompts_in_flight(System& sys, const std::vector<const PromptLine*>& todo, int width, BatchTimes* batch,
                           Progress* progress) {
  BatchStep step{};
  if (!make_batch_step(&step, sys.images.layer_block, uint64_t(width))) {
    fatal("Out of memory allocating the buffers of %d prompts in flight", width);
  }
  std::deque<std::unique_ptr<PromptFlight>> flights;  // in file order; the front reports next
  std::vector<PromptFlight*> flying;
  std::vector<InferenceContext*> seqs;
  double step_seconds = 0.0, pass_seconds = 0.0;
  size_t taken = 0;
  for (;;) {
    int generating = 0;
    for (const auto& f : flights) generating += f->generating ? 1 : 0;
    // Refills the batch: the prompts taken together run their passes together, and those whose
    // answers end at their first token make room for more.
    const double p0 = seconds_now();
    while (generating < width && taken < todo.size()) {
      std::vector<PromptFlight*> starting;
      while (generating + int(starting.size()) < width && taken < todo.size()) {
        flights.push_back(prepare_flight(sys, todo[taken++]));
        if (flights.back()->line->error.empty()) starting.push_back(flights.back().get());
      }
      start_flights(sys, starting);
      for (PromptFlight* f : starting) {
        if (f->generating) {
          generating++;
        } else {
          land_flight(f);
        }
      }
    }
    pass_seconds += seconds_now() - p0;
    while (!flights.empty() && !flights.front()->generating) {
      report_flight(sys, *flights.front(), batch);
      flights.pop_front();
      progress->done++;
      if (sys.opts.show_progress) print_progress(progress, seconds_now());
    }
    if (generating == 0) {
      if (taken == todo.size() && flights.empty()) break;
      continue;
    }
    flying.clear();
    seqs.clear();
    for (const auto& f : flights) {
      if (!f->generating) continue;
      flying.push_back(f.get());
      seqs.push_back(&f->ctx);
    }
    const double t0 = seconds_now();
    run_batch_step(step, seqs.data(), seqs.size());
    for (size_t t = 0; t < flying.size(); t++) {
      PromptFlight* f = flying[t];
      f->run.next = static_cast<int32_t>(static_cast<uint32_t>(step.next[t]));
      f->run.logits = step.logits + t * geom::kVocab;
      f->generating = take_answer_token(&f->run);
      if (!f->generating) land_flight(f);
    }
    step_seconds += seconds_now() - t0;
  }
  batch->prompt_seconds = pass_seconds;
  batch->answer_seconds = step_seconds;
}

// The --prompts run: every line of the file this shard takes and --resume has not kept.
// Returns 3 when some lines were refused, else 0.
int run_prompt_file(System& sys, Schedule schedule) {
  static ModeRecords m;  // large (the audit's rows, the answer): kept off the stack
  std::vector<const PromptLine*> todo;
  for (const PromptLine& p : sys.prompts) {
    if (sys.opts.shard_count > 0 && p.index % sys.opts.shard_count != sys.opts.shard_index) continue;
    if (sys.kept.indexes.count(p.index) > 0) continue;
    todo.push_back(&p);
  }
  BatchTimes batch{};
  batch.started = sys.started;
  batch.answered = !sys.opts.audit_heads;
  Progress progress = progress_for(static_cast<int>(todo.size()));
  const int width = prompts_in_flight(sys.opts);
  if (schedule == Schedule::shared && !sys.opts.audit_heads && width > 1) {
    run_prompts_in_flight(sys, todo, width, &batch, &progress);
  } else {
    for (const PromptLine* p : todo) {
      if (!p->error.empty()) {
        report_refused_line(sys, p, &batch);
      } else {
        memcpy(sys.opts.prompt, p->text.c_str(), p->text.size() + 1);
        print_input_prompt(sys);
        begin_prompt(&sys);
        add_run_times(&batch, run_prompt(sys, schedule, &m));
        keep_prompt_records(sys, p, m);
      }
      progress.done++;
      if (sys.opts.show_progress) print_progress(&progress, seconds_now());
    }
  }
  batch.ended = seconds_now();
  if (sys.opts.show_timings) print_batch_times(batch, stderr);
  return batch.refused > 0 ? 3 : 0;
}
}  // namespace

int run_program(int argc, char** argv, Schedule schedule) {
  static System sys;  // large (prompt buffers, context): kept off the stack
  start_up(&sys, argc, argv);
  // The literal schedule normalises the residual stream in place: it has no residual to keep.
  if (schedule == Schedule::literal && sys.states.spill >= 0) fatal("--states needs the shared schedule");
  // The reference program keeps only the audit of one layer by zeroing.
  if (schedule == Schedule::literal && (sys.opts.audit_all || sys.opts.ablate_mean))
    fatal("%s needs the shared schedule", sys.opts.audit_all ? "--audit-all" : "--ablate mean");
  if (sys.records_to_stdout && !silence_standard_output()) records_failed(sys);
  stop_if_output_failed();  // before minutes of work for a report nobody can read
  int status = 0;
  if (sys.opts.prompts_path[0] != '\0') {
    status = run_prompt_file(sys, schedule);
  } else {
    static ModeRecords m;
    Progress progress = progress_for(1);
    const RunTimes times = run_prompt(sys, schedule, &m);
    if (sys.opts.show_timings) print_run_times(times, stderr);
    const PromptRecord r = record_of(sys, m);
    if (sys.records) write_record(sys, r);
    keep_for_report(sys, r);
    keep_states(sys, r);
    progress.done = 1;
    if (sys.opts.show_progress) print_progress(&progress, seconds_now());
  }
  if (sys.records && fclose(sys.records) != 0) records_failed(sys);
  finish_states(sys);
  finish_report(sys);
  return status;
}
