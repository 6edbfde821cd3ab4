// KX_EE_Program and KX_EE_Read: a chip's whole EEPROM configuration as one record.
#include <cstring>
#include <memory>
#include <new>

#include "image_factory.h"
#include "program_data.h"
#include "serialno.h"

namespace {


size_t TextLength(const char *text) { return text ? std::strlen(text) : 0; }

// A current-form record to work on: the caller's own, or a zeroed copy for an
// older-form record. Null only when the copy could not be allocated.
struct WorkingRecord {
  KX_PROGRAM_DATA *record = nullptr;
  std::unique_ptr<KX_PROGRAM_DATA> copy;
  const KX_PROGRAM_DATA_LEGACY *legacy = nullptr;
};

bool MakeWorkingRecord(KX_PROGRAM_DATA *data, WorkingRecord *work) {
  if (IsCurrentForm(data)) {
    work->record = data;
    return true;
  }
  work->legacy = reinterpret_cast<const KX_PROGRAM_DATA_LEGACY *>(data);
  work->copy.reset(new (std::nothrow) KX_PROGRAM_DATA());
  if (!work->copy) return false;
  work->copy->marker_zero = 0;
  work->copy->marker_ones = 0xFFFFFFFFu;
  work->record = work->copy.get();
  return true;
}

}  // namespace

KX_STATUS KX_EE_Program(KX_HANDLE handle, KX_PROGRAM_DATA *data) {
  if (!handle || !data) return KX_ERR_PARAMETER;
  const bool dual = IsDualChip(handle);

  std::unique_ptr<TKxE2Data> image = CreateImage(handle);
  if (!image) return KX_ERR_RESOURCES;
  std::unique_ptr<_TKxEEParams> params(new (std::nothrow) _TKxEEParams());
  if (!params) return KX_ERR_RESOURCES;
  WorkingRecord work;
  if (!MakeWorkingRecord(data, &work)) return KX_ERR_RESOURCES;
  KX_PROGRAM_DATA &record = *work.record;
  if (work.legacy) {
    record.layout_version = dual ? 1 : 0;
    CopyFromLegacy(*work.legacy, &record, dual);
  }
  FillParams(record, params.get(), dual);

  // The serial number: the caller's, or one made up from the prefix, the
  // product id's low bits and the time.
  TSerialNumber generated(record.manufacturer_id ? record.manufacturer_id : "",
                          static_cast<unsigned short>(record.product_id & 3));
  char serial[64] = {};
  int serial_length = 0;
  const char *serial_text = serial;
  if (record.serial_number && record.serial_number[0]) {
    serial_text = record.serial_number;
    serial_length = static_cast<int>(std::strlen(serial_text));
  } else {
    generated.Get(serial, &serial_length);
  }

  // The texts must fit the string area. Checked before anything is copied
  // and before the dual-channel probe, so a refused record leaves the EEPROM
  // as it was.
  const size_t limit = dual ? TKxEEDual::kMaxTextChars : TKxEESingle::kMaxTextChars;
  if (TextLength(record.manufacturer) + TextLength(record.description) +
          static_cast<size_t>(serial_length) >
      limit)
    return KX_ERR_OTHER;

  if (dual) image->SetRomType();
  image->Init(params.get());
  params.reset();

  wchar_t descriptor[1 + TKxEESingle::kMaxTextChars] = {};
  descriptor[0] = static_cast<wchar_t>(0x0300 + (2 * serial_length + 2));
  for (int k = 0; k < serial_length; ++k)
    descriptor[k + 1] = static_cast<wchar_t>(
        static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(serial_text[k]))));
  if (!image->AddSerialStringDescriptor(descriptor)) return KX_ERR_OTHER;
  if (!image->AddPortNamePrefixDescriptor(kEmptyPrefix)) return KX_ERR_OTHER;

  image->AddOptions(record.plug_and_play ? 0 : 1);
  image->AddOemVendorId(record.vendor_id);
  image->AddOemProductId(record.product_id);
  image->AddBmAttributes(static_cast<uint8_t>(0x80 | (record.self_powered ? 0x40 : 0) |
                                              (record.remote_wakeup ? 0x20 : 0)));
  image->AddMaxPower(record.max_power > 499 ? 500 : record.max_power);
  image->MoveStrings();
  work.copy.reset();

  if (!image->Erase()) return KX_ERR_EE_ERASE;
  if (!image->Write()) return KX_ERR_EE_WRITE;
  if (!image->Confirm()) return KX_ERR_EE_WRITE;
  return KX_OK;
}

KX_STATUS KX_EE_Read(KX_HANDLE handle, KX_PROGRAM_DATA *data) {
  if (!handle || !data) return KX_ERR_PARAMETER;
  const bool dual = IsDualChip(handle);

  WorkingRecord work;
  if (!MakeWorkingRecord(data, &work)) return KX_ERR_RESOURCES;
  if (work.legacy) {
    // Only the text buffers come in; everything else goes out.
    work.record->manufacturer = work.legacy->manufacturer;
    work.record->manufacturer_id = work.legacy->manufacturer_id;
    work.record->description = work.legacy->description;
    work.record->serial_number = work.legacy->serial_number;
    work.record->layout_version = dual ? 1 : 0;
  }

  std::unique_ptr<TKxE2Data> image = CreateImage(handle);
  if (!image) return KX_ERR_RESOURCES;
  const int status = image->ReadAndParse(work.record);
  if (status == KX_OK && work.legacy)
    CopyToLegacy(*work.record, reinterpret_cast<KX_PROGRAM_DATA_LEGACY *>(data), dual);
  return static_cast<KX_STATUS>(status);
}
