// Program entry. On Windows this is a GUI-subsystem executable: the C runtime still calls main.
#include "app/service.h"

int main() { return service_main(); }
