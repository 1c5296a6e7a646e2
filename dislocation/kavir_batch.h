// `quelm-batch kavir [INPAR] [--dir DIR]`: the engine's own command line.
#pragma once

// Adds the command to quelm-batch.
void QN_batch_register_kavir();
