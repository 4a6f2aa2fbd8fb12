#include "image/CertificateShape.h"

#include <cstring>

#include "image/Der.h"
#include <cstring>

namespace {

// AlgorithmIdentifier: an object identifier and at most one parameter.
bool SoundAlgorithm(const DerItem& item)
{
    if (item.tag != kDerSequence) return false;
    DerReader fields(item);
    DerItem oid, parameters;
    if (!fields.Expect(kDerOid, &oid) || !DerSoundOid(oid)) return false;
    fields.Next(&parameters);
    return fields.AtEnd() && !fields.Failed();
}

// Name: RDNs, each a non-empty SET of (type, value) with a present object identifier.
bool SoundName(const DerItem& item)
{
    if (item.tag != kDerSequence) return false;
    DerReader rdns(item);
    DerItem rdn;
    while (rdns.Next(&rdn)) {
        if (rdn.tag != kDerSet || rdn.size == 0) return false;
        DerReader pairs(rdn);
        DerItem pair;
        while (pairs.Next(&pair)) {
            if (pair.tag != kDerSequence) return false;
            DerReader typeAndValue(pair);
            DerItem type, value;
            if (!typeAndValue.Expect(kDerOid, &type) || !DerSoundOid(type) || !typeAndValue.Next(&value) ||
                !typeAndValue.AtEnd())
                return false;
        }
        if (pairs.Failed()) return false;
    }
    return !rdns.Failed();
}

bool SoundTime(const DerItem& item) { return (item.tag == 0x17 || item.tag == 0x18) && item.size > 0; }

// A BIT STRING with content: its count of unused bits, and at least one byte.
bool SoundBits(const DerItem& item) { return item.tag == kDerBitString && item.size >= 2 && item.data[0] == 0; }

bool SoundExtensions(const DerItem& explicitTag)
{
    DerReader outer(explicitTag);
    DerItem all, extension;
    if (!outer.Expect(kDerSequence, &all) || !outer.AtEnd() || all.size == 0) return false;
    DerReader extensions(all);
    while (extensions.Next(&extension)) {
        if (extension.tag != kDerSequence) return false;
        DerReader fields(extension);
        DerItem oid, item;
        if (!fields.Expect(kDerOid, &oid) || !DerSoundOid(oid)) return false;
        // critical is FALSE unless given, and DER gives only TRUE (FF).
        if (fields.Optional(kDerBoolean, &item) && (item.size != 1 || item.data[0] != 0xFF)) return false;
        if (!fields.Expect(kDerOctetString, &item) || !fields.AtEnd()) return false;
    }
    return !extensions.Failed();
}

}  // namespace

bool SoundCertificate(const BYTE* der, size_t size)
{
    DerReader file(der, size);
    DerItem certificate;
    if (!file.Expect(kDerSequence, &certificate) || !file.AtEnd()) return false;
    DerReader parts(certificate);
    DerItem tbs, outerAlgorithm, signature;
    if (!parts.Expect(kDerSequence, &tbs) || !parts.Next(&outerAlgorithm) || !SoundAlgorithm(outerAlgorithm) ||
        !parts.Next(&signature) || !SoundBits(signature) || !parts.AtEnd())
        return false;

    DerReader fields(tbs);
    DerItem item, innerAlgorithm;
    long version = 0;
    if (fields.Optional(DerContext(0), &item)) {
        DerReader explicitVersion(item);
        DerItem number;
        if (!explicitVersion.Expect(kDerInteger, &number) || !explicitVersion.AtEnd() ||
            !DerSmallInteger(number, &version) || version < 1 || version > 2)
            return false;
    }
    if (!fields.Expect(kDerInteger, &item) || !DerMinimalInteger(item)) return false;  // the serial number
    if (!fields.Next(&innerAlgorithm) || !SoundAlgorithm(innerAlgorithm) ||
        innerAlgorithm.wholeSize != outerAlgorithm.wholeSize ||
        std::memcmp(innerAlgorithm.whole, outerAlgorithm.whole, innerAlgorithm.wholeSize) != 0)
        return false;
    if (!fields.Next(&item) || !SoundName(item)) return false;  // the issuer
    if (!fields.Expect(kDerSequence, &item)) return false;     // the validity
    {
        DerReader validity(item);
        DerItem from, to;
        if (!validity.Next(&from) || !SoundTime(from) || !validity.Next(&to) || !SoundTime(to) || !validity.AtEnd())
            return false;
    }
    if (!fields.Next(&item) || !SoundName(item)) return false;  // the subject
    if (!fields.Expect(kDerSequence, &item)) return false;     // the public key
    {
        DerReader key(item);
        DerItem algorithm, bits;
        if (!key.Next(&algorithm) || !SoundAlgorithm(algorithm) || !key.Next(&bits) || !SoundBits(bits) ||
            !key.AtEnd())
            return false;
    }
    if (fields.Optional(DerContextPrimitive(1), &item) && version < 1) return false;
    if (fields.Optional(DerContextPrimitive(2), &item) && version < 1) return false;
    if (fields.Optional(DerContext(3), &item) && (version < 2 || !SoundExtensions(item))) return false;
    return fields.AtEnd() && !fields.Failed();
}
