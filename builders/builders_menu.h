// What the builders add to the window: their forms, in "Select model:" and
// the Model menu.
#pragma once

struct QN_subsystem;
QN_subsystem QN_builders_subsystem();
