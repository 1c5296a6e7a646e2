// Prints an oriented crystal as the lattice generators make it, for the
// oracle script next to this file:
//   lattice_dump fcc|bcc A XH XK XL YH YK YL ZH ZK ZL
//   lattice_dump hcp A C XU XV XW YU YV YW ZU ZV ZW
// Output: "MEASURE N LX LY LZ", then one "TYPE X Y Z" line per atom.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qb/qb_lattice.h"

int main(int argc, char** argv) {
    const bool hcp = argc > 1 && std::strcmp(argv[1], "hcp") == 0;
    const int want = hcp ? 13 : 12;
    if (argc != want) {
        std::fprintf(stderr, "usage: lattice_dump fcc|bcc A X.. Y.. Z.. | hcp A C X.. Y.. Z..\n");
        return 2;
    }
    double v[11];
    for (int k = 2; k < argc; k++) v[k - 2] = std::atof(argv[k]);
    QB_tools s;
    QB_init(&s);
    double m;
    if (hcp)
        m = QB_create_hcp(&s, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10]);
    else if (std::strcmp(argv[1], "bcc") == 0)
        m = QB_create_bcc(&s, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
    else
        m = QB_create_fcc(&s, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
    std::printf("%.17g %d %.17g %.17g %.17g\n", m, s.natoms, s.size[0], s.size[1], s.size[2]);
    for (const auto& a : s.atoms) std::printf("%d %.17g %.17g %.17g\n", a.type, a.x, a.y, a.z);
    return 0;
}
