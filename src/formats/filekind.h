// The text layout shared by the headers of the data files.
#pragma once

namespace mirvo {

namespace cbdetail {

// The separator line that ends the header of every data file.
inline constexpr char kSeparator[] = "-------------------------------------";

}  // namespace cbdetail

}  // namespace mirvo
