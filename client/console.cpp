#include "client/console.h"

#include <iostream>

namespace rest_client {

void print_success(std::string message) {
  std::cout << kGreen << "[SUCCESS] " << message << kReset << std::endl;
}

void print_warning(std::string message) {
  std::cout << kYellow << "[WARNING]" << message << kReset << std::endl;
}

void print_error(std::string message) {
  std::cout << kRed << "[ERROR] " << message << kReset << std::endl;
}

void print_info(std::string message) {
  std::cerr << "[INFO] " << message << std::endl;
}

void print_border() {
  std::cout << "================================" << std::endl;
}

}  // namespace rest_client
