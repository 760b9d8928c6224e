#include "client/console.h"

#include <iostream>

namespace rest_client {

void print_success(std::string message) {
  std::cout << green() << "[SUCCESS] " << message << reset() << std::endl;
}

void print_warning(std::string message) {
  std::cout << yellow() << "[WARNING]" << message << reset() << std::endl;
}

void print_error(std::string message) {
  std::cout << red() << "[ERROR] " << message << reset() << std::endl;
}

void print_info(std::string message) {
  std::cerr << "[INFO] " << message << std::endl;
}

void print_border() {
  std::cout << "================================" << std::endl;
}

}  // namespace rest_client
