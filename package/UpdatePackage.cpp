// UpdatePackage: lookup of one page of the loaded update file by its page number.
#include "package/UpdatePackage.h"

#include <stdexcept>
#include <string>

const TVarLoadPage& LookupPage(const UpdatePackage& package, std::int32_t PageNumber) {
    const auto found = package.PageMap.find(PageNumber);
    if (found == package.PageMap.end()) {
        throw std::out_of_range("Page " + std::to_string(PageNumber) + " is not in the update file.");
    }
    return found->second;
}
