// quelm-batch analyse: the Analysis tab's structure and dislocation analyses
// over one file, several, or a numbered series, with their summaries.
#pragma once

// Adds "analyse" to quelm-batch's commands.
void QN_batch_register_analysis();
