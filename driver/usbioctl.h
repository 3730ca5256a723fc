// What the USB files of kxcr share beyond the public requests.
#ifndef KXCR_USBIOCTL_H
#define KXCR_USBIOCTL_H

// What the bulk-in transfer of a Dimax exchange brought: `moved` is the
// transfer's result for the `asked` bytes of `response` (the status byte
// last). 0 for status 0; 200 + a nonzero status; the transfer's errno when
// it failed; EIO (errno too) when it moved another count than asked; EINVAL
// for an `asked` outside 1..256. Reads no byte past `asked`, whatever the
// bytes hold.
int dimax_response(const unsigned char* response, int asked, int moved);

#endif  // KXCR_USBIOCTL_H
