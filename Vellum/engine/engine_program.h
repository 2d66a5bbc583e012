// The engine program the repair tool carries. Its definition is generated
// when a program is embedded into a library (vellum_embed_program in
// cmake/VellumEmbedProgram.cmake): the tool links the real engine, test
// builds link a stand-in.
#pragma once

#include <span>

namespace vellum {

// The program's bytes; empty when nothing was embedded.
std::span<const unsigned char> EngineProgram();

}  // namespace vellum
