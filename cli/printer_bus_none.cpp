// A build without a USB library reads no printers: list and read say so.
#include "cli/printer_bus.h"

std::unique_ptr<PrinterBus> system_printer_bus() { return nullptr; }
