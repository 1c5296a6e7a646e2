// The Plot window (Analysis > Plot...): the histogram of any column of the
// current model (column, bins and range editable, the bars in the view's
// colour map), the plot of a measurement's table (RDF curves, cluster
// sizes), and the single numbers of the analyses over the sequence bar's
// files, built in one pass; "Save plot" writes it as PNG, SVG or PDF with
// its data as TSV beside.
#pragma once

#include <string>

class Fl_Double_Window;
struct QN_plot;

// Shows plot in the window (made on first use).
void QN_plot_window_show(const QN_plot& plot);
// Opens the window on the histogram of the column the view shows (or the
// first column chosen before).
void QN_plot_window_open();
// The histogram of `column` of the current model with the window's bins and
// range; false (said in the message area) when it has no such column or no
// value in the range.
bool QN_plot_window_histogram(const std::string& column);
// The analyses switched on in the Analysis tab over every file of the
// sequence bar, one after the other (the model shown stays), and the
// numbers they give per file as curves; false with a message without a
// series or when an analysis fails on a file.
bool QN_plot_window_series();
// Writes the shown plot to path (.png, .svg, .pdf) at the window's size and
// its data to the same name with .tsv; 1, or -1 with the reason.
int QN_plot_window_save(const std::string& path, std::string* message);

// For the tests.
Fl_Double_Window* QN_plot_window();
const QN_plot& QN_plot_window_plot();
