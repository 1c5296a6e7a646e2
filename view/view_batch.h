// quelm-batch snapshot: draws a structure file with the view's renderer and
// settings defaults and writes the picture (off screen, in an EGL context
// that needs no display).
#pragma once

#include <cstdio>

int QN_batch_snapshot(int argc, const char* const* argv, FILE* out, FILE* err);
// Adds "snapshot" to quelm-batch's commands.
void QN_batch_register_snapshot();
