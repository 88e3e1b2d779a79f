#pragma once

#include "objstore/client.h"

#include <string>

// Reading what an object store answers: its XML documents come from the network and are treated as
// untrusted text.
namespace objstore {

// The text of the first <tag>...</tag> element in `xml`, with the predefined XML entities decoded;
// empty when there is none.
std::string xmlValue(const std::string &xml, const std::string &tag);

// The outcome of an HTTP answer: success for 2xx without an error document (a multipart completion
// may fail with status 200), else the store's code, message and request id.
Outcome answerOutcome(long status, const std::string &body);

// True for an upload id that can go into a query unescaped: the id is echoed in every part's
// address and signed with it, so a store that names one with other characters is not followed.
bool usableUploadId(const std::string &id);

} // namespace objstore
