#include "app/driver.h"

int run_converter(int32_t, char**) {
    return 0;
}
void print_help() {}
