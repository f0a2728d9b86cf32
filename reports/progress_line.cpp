#include "reports/progress_line.h"

void print_progress(Progress* p, double now) {
  const double elapsed = now - p->began;
  const double left = p->done > 0 ? elapsed / p->done * (p->total - p->done) : 0.0;
  if (p->in_place) fputc('\r', p->to);
  fprintf(p->to, "prompt %d/%d, %.1f s elapsed, about %.1f s left", p->done, p->total, elapsed, left);
  // On a terminal the rest of a longer earlier line is cleared; the last update ends the line.
  if (p->in_place) fputs("\x1b[K", p->to);
  if (!p->in_place || p->done == p->total) fputc('\n', p->to);
  fflush(p->to);
}
