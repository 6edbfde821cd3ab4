// The user area: the EEPROM bytes the chip's configuration leaves free for
// the application. Found anew on every call from the image the device holds.
#include <memory>

#include "image_factory.h"

KX_STATUS KX_EE_UASize(KX_HANDLE handle, uint32_t *size) {
  if (!handle || !size) return KX_ERR_PARAMETER;
  std::unique_ptr<TKxE2Data> image = CreateImage(handle);
  if (!image) return KX_ERR_RESOURCES;
  if (!image->Read()) {
    *size = 0;
    return KX_ERR_EE_READ;
  }
  *size = 2u * image->GetUserAreaSize();
  return KX_OK;
}

KX_STATUS KX_EE_UAWrite(KX_HANDLE handle, const uint8_t *data, uint32_t length) {
  if (!handle || !data) return KX_ERR_PARAMETER;
  std::unique_ptr<TKxE2Data> image = CreateImage(handle);
  if (!image) return KX_ERR_RESOURCES;
  if (!image->Read()) return KX_ERR_EE_READ;
  // Refused before the erase, so data that does not fit leaves the EEPROM as it was.
  if (!image->AddUserArea(data, length)) return KX_ERR_EE_WRITE;
  if (!image->Erase()) return KX_ERR_EE_ERASE;
  if (!image->Write()) return KX_ERR_EE_WRITE;
  if (!image->Confirm()) return KX_ERR_EE_WRITE;
  return KX_OK;
}

KX_STATUS KX_EE_UARead(KX_HANDLE handle, uint8_t *buffer, uint32_t length, uint32_t *returned) {
  if (!handle || !buffer) return KX_ERR_PARAMETER;
  if (length == 0) return KX_OK;
  if (!returned) return KX_ERR_PARAMETER;
  std::unique_ptr<TKxE2Data> image = CreateImage(handle);
  if (!image) return KX_ERR_RESOURCES;
  if (!image->Read()) return KX_ERR_EE_READ;
  image->GetUserArea(buffer, length, returned);
  return KX_OK;
}
