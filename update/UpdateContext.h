// The record of one update, owned by the main dialog for its whole life.
#pragma once

#include <cstdint>
#include <string>

#include "update/Package.h"
#include "update/PackageFile.h"

namespace kestro {

struct UpdateContext {
  std::uint8_t blockBuffer[128] = {};  // image data on its way from the package to a report
  std::uint32_t targetVersion = 0;     // `version`, then the whole version word once confirmed
  std::uint32_t imageLength = 0;
  std::uint32_t imageBaseAddress = 0;
  std::uint32_t bytesSent = 0;
  std::uint16_t deviceModelId = 0;  // reported by a boot-mode controller
  std::uint8_t deviceVariant = 0;
  // The CHid connection whose boot loader reported deviceModelId and deviceVariant; 0 when none
  // has since the last info exchange began. An image is chosen by them only for that connection.
  std::uint32_t modelConnection = 0;
  std::uint32_t imageDataOffset = 0;  // file position of the chosen image's first byte
  ImageHeader selectedHeader;
  std::wstring packagePath;
  PackageFile packageFile;  // open only while a transfer reads image data

  // Everything but packagePath and packageFile back to zero.
  void ClearImageFields() {
    selectedHeader = ImageHeader{};
    for (auto& b : blockBuffer) b = 0;
    imageDataOffset = imageLength = imageBaseAddress = targetVersion = bytesSent = 0;
    deviceModelId = 0;
    deviceVariant = 0;
    modelConnection = 0;
  }
};

}  // namespace kestro
