// Probe files: a probe as safetensors, so a user's own axes can replace the embedded ones.
//
//   probe.weight    F32 [k, 2048]       one table read at every depth, or
//   probe.bias      F32 [k]
//   probe.baseline  F32 [2048]
//   (per-depth form: [18, k, 2048], [18, k], [18, 2048]; telemetry row h reads table h)
//   __metadata__    "axes": k comma-separated names (1 <= k <= 8, each 1 .. 10 bytes of
//                   printable ASCII, no two the same ignoring case, none of layer, depth, hash);
//                   optional "labels": k texts of the same kind for the telemetry header
//                   (default: the names)
#pragma once

#include <string>
#include <vector>

#include "probe/probe_tables.h"

// Needs: a path. Reads the probe file there into *out. Returns "" or a one-line reason naming
// the problem (not safetensors, a tensor missing or of the wrong dtype or shape, a NaN or
// infinity in a table, bad axes metadata); never reads past the file's end.
std::string read_probe_file(const char* path, Probe* out);

// Needs: a complete probe. Its probe file's bytes, in the form it has (shared or per-depth).
std::string probe_file_bytes(const Probe& p);

// Needs: an "axes" metadata text. Splits it into *names; "" when they make a probe's axes (1 .. 8
// names of 1 .. 10 printable ASCII bytes, none twice ignoring case, none of layer, depth, hash),
// else a one-line reason about "its" axes.
std::string axis_names_refusal(const std::string& axes, std::vector<std::string>* names);
