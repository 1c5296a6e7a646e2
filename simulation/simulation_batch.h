// quelm-batch stage, submit, list and download: the frames' staging and the
// remote session from the command line.
#pragma once

// Adds the commands to quelm-batch's table.
void QN_batch_register_simulation();
