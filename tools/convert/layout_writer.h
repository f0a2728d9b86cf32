// Streams a checkpoint into the flat layout: tensor after tensor in file order, a megabyte
// or so at a time, converted on the way (matrices to fp16, norms to f32), hashed as written.
// The output is built in a temporary file in the target folder and renamed into place only
// once complete and flushed, so an interrupted run never leaves a file that looks finished.
// Where the file system allows, the temporary file has no name until then (O_TMPFILE), so
// not even SIGKILL or a power cut can leave it behind; elsewhere it is a hidden named file
// that every failure and every terminating signal removes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/convert/half_convert.h"
#include "tools/convert/model_geometry.h"
#include "tools/convert/source_model.h"

// Values converted per step; the two staging buffers hold this many f32 and fp16.
inline constexpr uint64_t kChunkValues = 1u << 20;

struct ConvertReport {
  HalfStats half;              // what happened to matrix values on their way to fp16
  uint64_t inexact_norms = 0;  // norm values whose "minus one" rounded (GGUF input only)
  uint64_t bytes = 0;          // bytes written
  std::string sha256;          // of the whole output, 64 hex digits
};

// Called after every step with bytes written so far and the total.
using ProgressFn = void (*)(void* ctx, uint64_t done, uint64_t total);

// Needs: a folder and a byte count. Returns false with *err when the file system holding the
// folder has fewer free bytes (for an unprivileged user) than needed.
bool check_free_space(const std::string& folder, uint64_t needed, std::string* err);

// Needs: nothing. From now on SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1 and SIGUSR2
// (those not inherited as ignored) remove a partly written output before the process ends by
// that signal, and SIGPIPE and SIGXFSZ are ignored: a closed pipe or a file-size limit then
// shows as a failed write, so a failed progress line is harmless and a failed output write is
// reported and cleaned up like any other.
void remove_partial_output_on_signal();

// Needs: nothing; safe at any time. Removes the named temporary output, if one exists now
// (for a run abandoned by an exception such as std::bad_alloc).
void remove_partial_output_now();

// Needs: a model filled by a reader, plan = output_plan(g) and source_of from bind_tensors.
// Checks free space, writes the output to out_path (replacing any file there) and fills
// *report. On any failure (read error, a NaN or infinity in the source, write error) removes
// its temporary file, leaves out_path untouched and returns false with a one-line *err.
bool write_converted(const SourceModel& model, const ModelGeometry& g, const std::vector<PlannedTensor>& plan,
                     const std::vector<uint32_t>& source_of, const std::string& out_path, ProgressFn progress,
                     void* progress_ctx, ConvertReport* report, std::string* err);
