// `quelm-batch atomkit BASE RECIPE -o OUT [--upto K] [--select REGION]`:
// replays a saved recipe on a structure file as the panel's run does.
#pragma once

// Adds the command to quelm-batch.
void QN_batch_register_atomkit();
