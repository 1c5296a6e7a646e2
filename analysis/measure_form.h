// The everyday measurements' pages of the Analysis tab: RDF, Coordination,
// Steinhardt, Voronoi, Clusters and Wigner-Seitz, each with "Active", its
// settings (bound to the "Everyday measurements" store group) and "Run
// Analysis"; a run adds the columns, colours the view by the shown page's
// result, shows a table's plot and adds the summary to the message area.
#pragma once

#include "app/quelm_shell.h"

class Fl_Group;

QN_analysis_pages QN_measure_pages();
// Their pages, the Analysis > Measurements entries and Analysis > Plot...
QN_subsystem QN_measure_subsystem();
// The page of method k (QN_measure_method), null before the tab is built.
Fl_Group* QN_measure_page(int k);
