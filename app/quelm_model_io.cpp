#include "app/quelm_model_io.h"

#include "qb/qb_formats.h"
#include "qb/qb_text.h"

int QN_read_report(int code, const QB_tools* model, std::string& text, const std::string& reason) {
    const char* kind = nullptr;
    if (code % 2 == 0 && !reason.empty()) {
        text = "Reading file failed\n" + reason;
        return -1;
    }
    switch (code) {
        case 0: text = "Reading file failed\nUnkonwn model format"; return -1;
        case 1: kind = "LMP"; break;
        case 2: text = "Reading file failed\nNot enough atoms in LMP format"; return -1;
        case 3: kind = "LMC"; break;
        case 4: text = "Reading file failed\nNot enough atoms in LMC format"; return -1;
        case 5: kind = "POSCAR"; break;
        case 6: text = "Reading file failed\nNot enough atoms in POSCAR format"; return -1;
        case QB_READ_UNREADABLE: text = "Reading file failed\ncannot open the file"; return -1;
        case QB_READ_EXTXYZ: kind = "XYZ"; break;
        case QB_READ_EXTXYZ_BROKEN: text = "Reading file failed\nNot enough atoms in XYZ format"; return -1;
        default: text.clear(); return 0;
    }
    text = QB_format("%s file detected with %d atoms and %d types\nBox size %lf %lf %lf", kind, model->natoms,
                     model->ntypes, model->size[0], model->size[1], model->size[2]);
    return 1;
}

std::string QN_new_model_text(const QB_tools* model) {
    return QB_format("New model detected with %d atoms and %d types\nBox size %lf %lf %lf", model->natoms, model->ntypes,
                     model->size[0], model->size[1], model->size[2]);
}

int QN_read_model(QB_tools* model, const char* path, std::string& text) {
    std::string reason;
    const int code = QB_read_file(model, path, &reason);
    return QN_read_report(code, model, text, reason);
}

int QN_write_model(QB_tools* model, const char* path, int kind) {
    switch (kind) {
        case 0: return QB_dump_lmc(model, path);
        case 1: return QB_dump_lmp(model, path);
        case 2: return QB_dump_vasp_Cartesian(model, path);
        case 3: return QB_dump_vasp_Direct(model, path);
        case 4: return QB_dump_extxyz(model, path);
    }
    return -1;
}
