#pragma once

namespace quavelink {

//! Maps a sample's magnitude (0 to 32768) onto the level meter's logarithmic scale: values up
//! to 1500 stay as they are, larger ones rise logarithmically so that 31268 lands near 32768.
int meterLevel(int magnitude);

}  // namespace quavelink
