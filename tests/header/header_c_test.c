/* The public header compiles as C99 and its records have their fixed sizes. */
#include "qmfiledb.h"

#include <stdio.h>

int main(void)
{
    int failures = 0;
    if (sizeof(odb_systemtime) != 16) failures++;
    if (sizeof(odb_attribute_change_info) != 28) failures++;
#if UINTPTR_MAX == 0xFFFFFFFFu
    if (sizeof(odb_enum_criterion) != 16) failures++;
    if (sizeof(odb_enum_filter) != 280) failures++;
#endif
    if (ODB_VERSION != 958u) failures++;
    if (ODB_E_NO_MEMORY != 0xE0000001u) failures++;
    printf("%s\n", odb_status_name(ODB_E_LOCK_TIMEOUT));
    return failures;
}
