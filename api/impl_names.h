// Force-included into every library source except exported_calls.cpp: the
// library's definitions of the status-returning exported calls take the
// kx_impl_ names, and the public names become the forwarders that trace
// failed calls (VEXA_DEBUG). The kx_impl_ names stay out of the dynamic
// symbol table through the export list (exports.map).
#ifndef VEXA_IMPL_NAMES_H
#define VEXA_IMPL_NAMES_H
#ifndef VEXA_PUBLIC_NAMES
#define KX_ListDevices kx_impl_KX_ListDevices
#define KX_Open kx_impl_KX_Open
#define KX_OpenEx kx_impl_KX_OpenEx
#define KX_Close kx_impl_KX_Close
#define KX_SetVIDPID kx_impl_KX_SetVIDPID
#define KX_GetVIDPID kx_impl_KX_GetVIDPID
#define KX_Read kx_impl_KX_Read
#define KX_Write kx_impl_KX_Write
#define KX_SetTimeouts kx_impl_KX_SetTimeouts
#define KX_GetQueueStatus kx_impl_KX_GetQueueStatus
#define KX_GetStatus kx_impl_KX_GetStatus
#define KX_SetEventNotification kx_impl_KX_SetEventNotification
#define KX_GetEventStatus kx_impl_KX_GetEventStatus
#define KX_SetWaitMask kx_impl_KX_SetWaitMask
#define KX_WaitOnMask kx_impl_KX_WaitOnMask
#define KX_SetUSBParameters kx_impl_KX_SetUSBParameters
#define KX_StopInTask kx_impl_KX_StopInTask
#define KX_RestartInTask kx_impl_KX_RestartInTask
#define KX_SetBaudRate kx_impl_KX_SetBaudRate
#define KX_SetDivisor kx_impl_KX_SetDivisor
#define KX_SetDataCharacteristics kx_impl_KX_SetDataCharacteristics
#define KX_SetFlowControl kx_impl_KX_SetFlowControl
#define KX_SetDtr kx_impl_KX_SetDtr
#define KX_ClrDtr kx_impl_KX_ClrDtr
#define KX_SetRts kx_impl_KX_SetRts
#define KX_ClrRts kx_impl_KX_ClrRts
#define KX_SetChars kx_impl_KX_SetChars
#define KX_Purge kx_impl_KX_Purge
#define KX_SetBreakOn kx_impl_KX_SetBreakOn
#define KX_SetBreakOff kx_impl_KX_SetBreakOff
#define KX_ResetDevice kx_impl_KX_ResetDevice
#define KX_SetLatencyTimer kx_impl_KX_SetLatencyTimer
#define KX_GetLatencyTimer kx_impl_KX_GetLatencyTimer
#define KX_SetBitMode kx_impl_KX_SetBitMode
#define KX_GetBitMode kx_impl_KX_GetBitMode
#define KX_GetModemStatus kx_impl_KX_GetModemStatus
#define KX_GetDeviceInfo kx_impl_KX_GetDeviceInfo
#define KX_IoCtl kx_impl_KX_IoCtl
#define KX_SetResetPipeRetryCount kx_impl_KX_SetResetPipeRetryCount
#define KX_ResetPort kx_impl_KX_ResetPort
#define KX_ReadEE kx_impl_KX_ReadEE
#define KX_WriteEE kx_impl_KX_WriteEE
#define KX_EraseEE kx_impl_KX_EraseEE
#define KX_EE_Program kx_impl_KX_EE_Program
#define KX_EE_Read kx_impl_KX_EE_Read
#define KX_EE_UASize kx_impl_KX_EE_UASize
#define KX_EE_UAWrite kx_impl_KX_EE_UAWrite
#define KX_EE_UARead kx_impl_KX_EE_UARead
#endif
#endif  // VEXA_IMPL_NAMES_H
