// Pairs every tensor of the output with exactly one tensor of the checkpoint, by the names the
// checkpoint's format uses, and checks its shape.
#pragma once

#include <string>
#include <vector>

#include "tools/convert/model_geometry.h"
#include "tools/convert/source_model.h"

// Needs: nothing. Returns the name format f gives planned tensor t, e.g.
// "model.layers.3.self_attn.q_proj.weight" or "blk.3.attn_q.weight".
std::string source_tensor_name(SourceFormat f, const PlannedTensor& t);

// Needs: a model filled by a reader and the plan of g. Fills (*source_of)[i] with the index in
// model.tensors of plan[i]'s values. Returns false with a one-line reason when a tensor is
// missing, present twice, unknown to this model, or of the wrong shape.
bool bind_tensors(const SourceModel& model, const std::vector<PlannedTensor>& plan,
                  std::vector<uint32_t>* source_of, std::string* err);
