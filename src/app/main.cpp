#include "app/run_driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::process_startup();
    return qelvor::run_program(argc, argv);
}
