#include "tools/dump_batch.h"

#include "store/quelm_batch_core.h"
#include "tools/dumps.h"

void QN_batch_register_dumps() {
    QN_batch_add_command("convert-dump", DUMP_convert_dump_usage, DUMP_convert_dump_command);
}
