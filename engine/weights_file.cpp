#include "engine/weights_file.h"

#include <cstdio>

#include "model/weights_layout.h"
#include "platform/platform.h"

void choose_weights_path(char* buf, size_t cap) {
  snprintf(buf, cap, "%s", kWeightsFileName);
  if (path_exists(buf)) return;
  char nested[512];
  snprintf(nested, sizeof nested, "korvane%cmodels%c%s", kPathSeparator, kPathSeparator, kWeightsFileName);
  if (path_exists(nested)) snprintf(buf, cap, "%s", nested);
}

WeightsStatus open_weights(const char* path, WeightsView* out, unsigned long* error) {
  MappedFile file;
  MapStatus status = map_file_private(path, &file, error);
  out->base = file.base;
  out->size = file.size;
  out->kind = file.kind;
  if (status == MapStatus::open_failed) return WeightsStatus::open_failed;
  if (status == MapStatus::map_failed) return WeightsStatus::map_failed;
  if (file.size < file_off::end) return WeightsStatus::truncated;
  return WeightsStatus::ok;
}
