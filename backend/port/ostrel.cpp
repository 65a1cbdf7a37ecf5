// Ostrel family: the USB-to-UART bridge set-up and its DSR reading.
//
// The bridge takes vendor requests on the default control pipe: enable the
// UART, raise DTR and RTS, 8N1, and a divisor of its 3.6864 MHz baud clock.
#include "internal.h"
#include "usbqrp.h"

namespace {

// Vendor request types: host to device / device to host, to the interface.
const int vendor_out = 0x41;
const int vendor_in = 0xC1;

const int request_enable_uart = 0x00;
const int request_set_baud_divisor = 0x01;
const int request_set_line_control = 0x03;
const int request_set_modem_handshake = 0x07;
const int request_get_modem_status = 0x08;

const int uart_enable = 0x0001;
const int dtr_rts_on = 0x0383;      // DTR, RTS and both change masks
const int format_8n1 = 0x0800;      // 8 data bits, no parity, 1 stop bit
const int divisor_500k = 0x0007;    // about 526,600 bit/s
const int divisor_115200 = 0x0020;
const unsigned char dsr_bit = 0x20;

const int endpoint_data_out = 0x01;

// Sends one set-up request without data stage. On failure writes the
// request's error line and the open's failure exit line.
int setup_request(QRP_UsbPort *port, int request, int value,
                  const char *error_format) {
  int result = usb_control_msg(port->handle, vendor_out, request, value,
                               QRP_GetUSBInterfaceNumber(port, 0), nullptr, 0,
                               static_cast<int>(QRP_GetReadWriteTimeout(port)));
  if (result >= 0)
    return 0;
  QRP_UsbDebugf(error_format, result);
  QRP_TraceOpenExit(QRP_OPENPORT_ERROR_GENERAL);
  return QRP_OPENPORT_ERROR_GENERAL;
}

} // namespace

int QRP_Init_Ostrel(QRP_UsbPort *port, int baudRate) {
  QRP_UsbDebug("-> [QRP_Init_Ostrel]The USB protocol to use is tr3000ax:");
  QRP_UsbDebug("  -> Do an USB 'halt' on the device.");
  int result = usb_clear_halt(port->handle, endpoint_data_out);
  if (result < 0)
    QRP_UsbDebugf("    -> WARNING, could not do a 'usb_clear_halt()' on the "
                  "device, result=%d.",
                  result);

  // One handle serves both roles; the write sends through handle2.
  port->handle2 = port->handle;

  QRP_UsbDebug("  -> Enable the UART on the USB device.");
  if (setup_request(port, request_enable_uart, uart_enable,
                    "    -> ERROR, could not enable the UART on the device, "
                    "result=%d.") != 0)
    return QRP_OPENPORT_ERROR_GENERAL;

  QRP_UsbDebug("  -> Setting the DTR and RTS pins low (active) on the UART.");
  if (setup_request(port, request_set_modem_handshake, dtr_rts_on,
                    "    -> ERROR, could not set DTR and RTS pins on the UART, "
                    "result=%d.") != 0)
    return QRP_OPENPORT_ERROR_GENERAL;

  QRP_UsbDebug("  -> Setting the data bits, parity and stop bits on the UART.");
  if (setup_request(port, request_set_line_control, format_8n1,
                    "    -> ERROR, could not set the data bits, parity and "
                    "stop bits on the UART, result=%d.") != 0)
    return QRP_OPENPORT_ERROR_GENERAL;

  QRP_UsbDebug("  -> Setting the baud rate on the UART.");
  int divisor;
  if (baudRate == 115200) {
    QRP_UsbDebug("    -> Trying QRP_PORTTYPE_USB_OSTREL_BAUD_115 bps.");
    divisor = divisor_115200;
  } else {
    QRP_UsbDebug("    -> Trying QRP_PORTTYPE_USB_OSTREL_BAUD_500 bps.");
    divisor = divisor_500k;
  }
  if (setup_request(port, request_set_baud_divisor, divisor,
                    "      -> ERROR, could not set the baud rate on the UART, "
                    "result=%d.") != 0)
    return QRP_OPENPORT_ERROR_GENERAL;
  return QRP_OPENPORT_OK;
}

int QRP_UsbGetOstrelDSR(QRP_UsbPort *port) {
  if (port->family == KORV_FAMILY_KELPIN)
    return 1;
  char status = 0;
  int result = usb_control_msg(port->handle, vendor_in, request_get_modem_status,
                               0, 0, &status, 1,
                               static_cast<int>(QRP_GetReadWriteTimeout(port)));
  if (result == 0)
    return -1;
  if (result < 0)
    return -2;
  return (static_cast<unsigned char>(status) & dsr_bit) != 0 ? 1 : 0;
}
