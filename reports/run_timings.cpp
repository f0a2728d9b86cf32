#include "reports/run_timings.h"

#include <chrono>

double seconds_now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

void print_run_times(const RunTimes& t, FILE* to) {
  if (t.answered) {
    const double prompt = t.answer.began - t.run_began;
    const double generation = t.answer.ended - t.answer.began;
    const double rate = generation > 0.0 ? t.answer.count / generation : 0.0;
    fprintf(to, "prompt eval: %d tokens, %.2f s\n", t.prompt_tokens, prompt);
    fprintf(to, "generation: %d tokens, %.2f s, %.2f tokens/s\n", t.answer.count, generation, rate);
  }
  fprintf(to, "total: %.2f s\n", t.ended - t.started);
}

void add_run_times(BatchTimes* b, const RunTimes& t) {
  b->prompts++;
  b->prompt_tokens += t.prompt_tokens;
  b->answered = t.answered;
  if (t.answered) {
    b->prompt_seconds += t.answer.began - t.run_began;
    b->answer_tokens += t.answer.count;
    b->answer_seconds += t.answer.ended - t.answer.began;
  } else {
    b->prompt_seconds += t.ended - t.run_began;
  }
}

void print_batch_times(const BatchTimes& b, FILE* to) {
  fprintf(to, "prompts: %d run, %d refused\n", b.prompts, b.refused);
  fprintf(to, "prompt eval: %lld tokens, %.2f s\n", static_cast<long long>(b.prompt_tokens), b.prompt_seconds);
  if (b.answered) {
    const double rate = b.answer_seconds > 0.0 ? static_cast<double>(b.answer_tokens) / b.answer_seconds : 0.0;
    fprintf(to, "generation: %lld tokens, %.2f s, %.2f tokens/s\n", static_cast<long long>(b.answer_tokens),
            b.answer_seconds, rate);
  }
  fprintf(to, "total: %.2f s\n", b.ended - b.started);
}
