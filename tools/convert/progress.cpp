#include "tools/convert/progress.h"

#include <ctime>

double monotonic_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void progress_start(Progress* p, FILE* out, bool terminal) {
  *p = Progress{out, terminal, monotonic_seconds(), 0, -1, false};
  p->last_print = p->start;
}

std::string progress_text(uint64_t done, uint64_t total, double seconds, bool bar) {
  const int width = 30;
  int percent = total ? int(done * 100 / total) : 100;
  double gb_done = double(done) / 1e9, gb_total = double(total) / 1e9;
  double mb_per_s = seconds > 0 ? double(done) / 1e6 / seconds : 0;
  char text[160];
  if (bar) {
    char cells[width + 1];
    int full = total ? int(done * width / total) : width;
    for (int i = 0; i < width; i++) cells[i] = i < full ? '#' : '.';
    cells[width] = 0;
    snprintf(text, sizeof text, "[%s] %3d%%  %.2f/%.2f GB  %.0f MB/s", cells, percent, gb_done, gb_total, mb_per_s);
  } else {
    snprintf(text, sizeof text, "converted %.2f of %.2f GB (%d%%), %.0f MB/s", gb_done, gb_total, percent, mb_per_s);
  }
  return text;
}

void progress_update(void* ctx, uint64_t done, uint64_t total) {
  Progress* p = static_cast<Progress*>(ctx);
  double now = monotonic_seconds();
  if (p->terminal) {
    if (now - p->last_print < 0.2 && done != total) return;
    fprintf(p->out, "\r%s", progress_text(done, total, now - p->start, true).c_str());
    fflush(p->out);
    p->drawn = true;
    p->last_print = now;
    return;
  }
  int tenth = total ? int(done * 10 / total) : 10;
  if (tenth == p->last_tenth && now - p->last_print < 30) return;
  fprintf(p->out, "%s\n", progress_text(done, total, now - p->start, false).c_str());
  p->last_tenth = tenth;
  p->last_print = now;
}

void progress_finish(Progress* p) {
  if (p->drawn) fputc('\n', p->out);
  p->drawn = false;
}
