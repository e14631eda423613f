#include "driver/run_driver.h"

int main(int argc, char** argv) { vos::RunDriver(argc, argv); }
