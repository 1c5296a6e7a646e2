// quelm-batch plot: histograms of a model's column and curves of a table,
// written as PNG, SVG or PDF with their data as TSV.
#pragma once

void QN_batch_register_plot();
