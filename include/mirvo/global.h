// The MIRVO library with its names in the global namespace: mirvo/mirvo.h
// followed by `using namespace mirvo;`. For programs written against the
// plain names (Codebook, ReadCodebook, ...); a program with names of its own
// that could collide includes mirvo/mirvo.h and writes mirvo::.
#pragma once

#include "mirvo/mirvo.h"

using namespace mirvo;  // NOLINT(google-global-names-in-headers): the purpose of this header
