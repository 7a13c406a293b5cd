// Classic reading: the BMPs VOD2ERI has always read, read exactly as it
// reads them. Everything it does otherwise than full reading (bmp_header.h)
// is here: its end-of-file rule for the headers, its refusals, where it finds
// the colour table and the masks, and how it scales 16-bit channels.
#ifndef STILLREEL_IMAGE_BMP_CLASSIC_H_
#define STILLREEL_IMAGE_BMP_CLASSIC_H_

#include "image/bmp_header.h"
#include "image/byte_source.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

// Reads the signature, then the fields of the file header and of a 40-byte
// info header, one at a time, and the three masks of a 16-bit bit-field
// picture after them. A field counts as read unless the end of the file was
// met by an earlier read, so a file that ends inside its last field still
// passes, as a C stream would have it. False with kNotBmp or kShortHeader.
bool ReadClassicBmpHeader(ByteSource& source, BmpHeader& header, PictureIssue& why);

// The pictures classic reading decodes: an info header of 40 bytes or more;
// no compression, or bit fields at 16 bits; 1, 4, 8, 16, 24 or 32 bits a
// pixel; a width and a height above 0.
bool CheckClassicBmpHeader(const BmpHeader& header, BmpLayout& layout, PictureIssue& why);

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BMP_CLASSIC_H_
