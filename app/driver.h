// The run driver: switches, folder, filters, the walk and the summary.
#pragma once

#include <cstdint>

int run_converter(int32_t argc, char** argv);
void print_help();
