// `quelm-batch convert-dump IN --kind st|aes -o OUT.lmc`: the engine's
// binary structure or atomic-stress dump, with its header IN.parm, turned
// into a LAMMPS custom dump (the command itself is DUMP_convert_dump_command
// in tools/dumps.h, so that it can be called without quelm-batch).
#pragma once

// Adds the command to quelm-batch.
void QN_batch_register_dumps();
