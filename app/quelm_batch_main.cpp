#include <cstdio>

#include "app/quelm_batch_core.h"
#include "view/view_batch.h"

int main(int argc, char** argv) {
    QN_batch_register_snapshot();
    return QN_batch_main(argc, argv, stdout, stderr);
}
