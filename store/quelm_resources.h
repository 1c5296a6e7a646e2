// The program's resource folder: the icons, the background picture and the
// view's textures under img/, the simulation templates under config/.
//
// It is found from where the running program is, not from the working
// folder, in this order:
//   1. $QUELM_DATA_DIR, when set and not empty (and then only there);
//   2. beside the program: PREFIX/share/quelm for PREFIX/bin/quelm (the
//      installed layout); the build tree has the same layout, build/share/quelm
//      linking to the sources' img/ and config/ for build/app/quelm and the
//      test programs in build/tests;
//   3. the working folder, when that folder beside the program does not exist
//      and the working folder holds img/ (a program copied on its own).
// The folder is looked for once per process; nothing here opens a window.
#pragma once

#include <string>
#include <vector>

// The folder found for these inputs (the value of QUELM_DATA_DIR, or empty
// when unset; the running program's path; the working folder), or an empty
// text with `message` saying where it was looked for.
std::string QN_resource_locate(const std::string& data_dir_env, const std::string& executable,
                               const std::string& working_dir, std::string& message);

// The folder beside a program at `executable` (PREFIX/share/quelm for
// PREFIX/bin/quelm), whether it exists or not; empty for an empty path.
std::string QN_resource_beside(const std::string& executable);

// This process's resource folder, empty when none was found.
const std::string& QN_resource_dir();

// The file of a resource given by its name inside the folder ("img/color.png",
// "config"): the folder joined with the name, or the name itself when no
// folder was found (it then fails to open as any missing file does).
std::string QN_resource_path(const std::string& relative);

// 1 when every one of `relative` exists in the resource folder; otherwise 0
// and a message that names the missing ones and the folder (or where the
// folder was looked for), with how to point the program at its files.
int QN_resource_check(const std::vector<std::string>& relative, std::string& message);

// What the window needs to look right and to list the simulation frames:
// the view's textures, the tool-bar icons, the background picture and the
// template list.
const std::vector<std::string>& QN_resource_essentials();

// The view's textures alone (what a snapshot needs).
const std::vector<std::string>& QN_resource_textures();

// Forgets the folder found, so that the next call looks again (after a change
// of QUELM_DATA_DIR).
void QN_resource_reset();
