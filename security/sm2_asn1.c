/* DER coding of the SM2 ciphertext record (OpenSSL's template macros are C). */
#include <openssl/asn1t.h>

#include "security/sm2.h"

ASN1_SEQUENCE(SM2ED_CTXT) =
    {
        ASN1_SIMPLE(SM2ED_CTXT, c1_x, BIGNUM),
        ASN1_SIMPLE(SM2ED_CTXT, c1_y, BIGNUM),
        ASN1_SIMPLE(SM2ED_CTXT, c3, ASN1_OCTET_STRING),
        ASN1_SIMPLE(SM2ED_CTXT, c2, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2ED_CTXT)

        IMPLEMENT_ASN1_FUNCTIONS(SM2ED_CTXT)
