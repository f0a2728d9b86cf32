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
