// The ASN.1 codec: trees of typed nodes read from BER and written as DER.
#pragma once

#include <vsk/asn1/asn1.h>
