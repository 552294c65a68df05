// The MIRVO library: every public header, and the version.
//
// Every name of the library is in namespace mirvo (the macros excepted:
// MIRVO_PRINTF and those of mirvo/version.h). A program that uses the plain
// names includes mirvo/global.h instead.
//
// The version as numbers: MIRVO_VERSION_MAJOR and MIRVO_VERSION_MINOR (from
// mirvo/version.h, configured from the project version), next to the text
// MIRVO_VERSION ("V.0.13") and the identity lines.
#pragma once

#include "mirvo/cb.h"
#include "mirvo/coding.h"
#include "mirvo/engine.h"
#include "mirvo/file.h"
#include "mirvo/interfc.h"
#include "mirvo/version.h"
