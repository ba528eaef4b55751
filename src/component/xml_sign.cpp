#include "component/xml_sign.h"

#include <gnutls/crypto.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlIO.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace qm::component {

namespace {

constexpr char kDsigNs[] = "http://www.w3.org/2000/09/xmldsig#";
constexpr char kEnveloped[] = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";

struct Canonicalization {
  const char* uri;
  int mode;
  bool comments;
};
constexpr Canonicalization kCanonicalizations[] = {
    {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315", XML_C14N_1_0, false},
    {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments", XML_C14N_1_0, true},
    {"http://www.w3.org/2001/10/xml-exc-c14n#", XML_C14N_EXCLUSIVE_1_0, false},
    {"http://www.w3.org/2001/10/xml-exc-c14n#WithComments", XML_C14N_EXCLUSIVE_1_0, true},
    {"http://www.w3.org/2006/12/xml-c14n11", XML_C14N_1_1, false},
    {"http://www.w3.org/2006/12/xml-c14n11#WithComments", XML_C14N_1_1, true},
};

struct DigestMethod {
  const char* uri;
  gnutls_digest_algorithm_t digest;
};
constexpr DigestMethod kDigestMethods[] = {
    {"http://www.w3.org/2000/09/xmldsig#sha1", GNUTLS_DIG_SHA1},
    {"http://www.w3.org/2001/04/xmldsig-more#sha224", GNUTLS_DIG_SHA224},
    {"http://www.w3.org/2001/04/xmlenc#sha256", GNUTLS_DIG_SHA256},
    {"http://www.w3.org/2001/04/xmldsig-more#sha384", GNUTLS_DIG_SHA384},
    {"http://www.w3.org/2001/04/xmlenc#sha512", GNUTLS_DIG_SHA512},
};

struct SignatureMethod {
  const char* uri;
  gnutls_pk_algorithm_t algorithm;
  gnutls_digest_algorithm_t digest;
};
constexpr SignatureMethod kSignatureMethods[] = {
    {"http://www.w3.org/2000/09/xmldsig#rsa-sha1", GNUTLS_PK_RSA, GNUTLS_DIG_SHA1},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", GNUTLS_PK_RSA, GNUTLS_DIG_SHA256},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha384", GNUTLS_PK_RSA, GNUTLS_DIG_SHA384},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha512", GNUTLS_PK_RSA, GNUTLS_DIG_SHA512},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256", GNUTLS_PK_ECDSA, GNUTLS_DIG_SHA256},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha384", GNUTLS_PK_ECDSA, GNUTLS_DIG_SHA384},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha512", GNUTLS_PK_ECDSA, GNUTLS_DIG_SHA512},
};

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

std::string attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (value == nullptr) return "";
  std::string text(reinterpret_cast<char*>(value));
  xmlFree(value);
  return text;
}
bool hasAttribute(xmlNode* node, const char* name) {
  return xmlHasProp(node, reinterpret_cast<const xmlChar*>(name)) != nullptr;
}

bool isDsig(xmlNode* node, const char* name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns != nullptr &&
         std::strcmp(reinterpret_cast<const char*>(node->ns->href), kDsigNs) == 0 &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

xmlNode* dsigChild(xmlNode* parent, const char* name) {
  for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (isDsig(child, name)) return child;
  }
  return nullptr;
}

bool hasElementChildren(xmlNode* node) {
  for (xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) return true;
  }
  return false;
}

std::string content(xmlNode* node) {
  xmlChar* value = xmlNodeGetContent(node);
  if (value == nullptr) return "";
  std::string text(reinterpret_cast<char*>(value));
  xmlFree(value);
  return text;
}

void setContent(xmlNode* node, const std::string& text) {
  xmlNodeSetContent(node, reinterpret_cast<const xmlChar*>(text.c_str()));
}

xmlNode* findElement(xmlNode* node, const std::function<bool(xmlNode*)>& match) {
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (match(node)) return node;
    if (xmlNode* found = findElement(node->children, match)) return found;
  }
  return nullptr;
}

bool inside(xmlNode* node, xmlNode* root) {
  for (; node != nullptr; node = node->parent) {
    if (node == root) return true;
  }
  return false;
}

struct Visibility {
  xmlNode* root = nullptr;      // null: the whole document
  xmlNode* excluded = nullptr;  // the enveloping signature, when its transform applies
};

int isVisible(void* context, xmlNode* node, xmlNode* parent) {
  const auto* visibility = static_cast<const Visibility*>(context);
  // Namespace nodes are xmlNs, not xmlNode; their element is `parent`.
  xmlNode* subject = node != nullptr && node->type == XML_NAMESPACE_DECL ? parent : node;
  if (subject == nullptr) return 0;
  if (visibility->root != nullptr && !inside(subject, visibility->root)) return 0;
  if (visibility->excluded != nullptr && inside(subject, visibility->excluded)) return 0;
  return 1;
}

int appendOutput(void* context, const char* buffer, int length) {
  static_cast<std::string*>(context)->append(buffer, static_cast<std::size_t>(length));
  return length;
}

struct C14nChoice {
  int mode = XML_C14N_1_0;
  bool comments = false;
  std::vector<std::string> prefixes;  // exclusive canonicalisation's InclusiveNamespaces
};

// Reads a canonicalisation method element; false for an unknown algorithm.
bool c14nOf(xmlNode* method, C14nChoice& choice) {
  std::string uri = attribute(method, "Algorithm");
  for (const Canonicalization& known : kCanonicalizations) {
    if (uri == known.uri) {
      choice.mode = known.mode;
      choice.comments = known.comments;
      choice.prefixes.clear();
      for (xmlNode* child = method->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE &&
            std::strcmp(reinterpret_cast<const char*>(child->name), "InclusiveNamespaces") == 0) {
          std::string list = attribute(child, "PrefixList");
          for (std::size_t start = 0; start < list.size();) {
            std::size_t end = list.find_first_of(" \t\r\n", start);
            if (end == std::string::npos) end = list.size();
            if (end > start) choice.prefixes.push_back(list.substr(start, end - start));
            start = end + 1;
          }
        }
      }
      return true;
    }
  }
  return false;
}

Result<std::string> canonical(xmlDoc* doc, const Visibility& visibility, const C14nChoice& choice,
                              bool comments) {
  std::string out;
  xmlOutputBuffer* buffer = xmlOutputBufferCreateIO(&appendOutput, nullptr, &out, nullptr);
  if (buffer == nullptr) return kErrInternal;
  std::vector<xmlChar*> prefixes;
  for (const std::string& prefix : choice.prefixes) {
    prefixes.push_back(const_cast<xmlChar*>(reinterpret_cast<const xmlChar*>(prefix.c_str())));
  }
  prefixes.push_back(nullptr);
  int status = xmlC14NExecute(doc, &isVisible, const_cast<Visibility*>(&visibility), choice.mode,
                              choice.mode == XML_C14N_EXCLUSIVE_1_0 ? prefixes.data() : nullptr,
                              comments ? 1 : 0, buffer);
  if (xmlOutputBufferClose(buffer) < 0 || status < 0) return kErrXmlTemplate;
  return out;
}

Result<std::string> digestOf(std::string_view data, gnutls_digest_algorithm_t algorithm) {
  std::string out(gnutls_hash_get_len(algorithm), '\0');
  if (gnutls_hash_fast(algorithm, data.data(), data.size(), out.data()) < 0) return kErrInternal;
  return out;
}

bool plainFileName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '.') return false;
  for (char c : name) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

// The octets a reference covers.
Result<std::string> referenceData(xmlDoc* doc, xmlNode* signature, xmlNode* reference,
                                  const XmlJob& job) {
  if (!hasAttribute(reference, "URI")) return kErrXmlReference;
  std::string uri = attribute(reference, "URI");
  xmlNode* transforms = dsigChild(reference, "Transforms");

  if (!uri.empty() && uri[0] != '#') {
    // A detached file, looked up by plain name in the reference folders.
    if (transforms != nullptr && hasElementChildren(transforms)) return kErrXmlTemplate;
    if (!plainFileName(uri)) return kErrXmlReference;
    for (const std::string& dir : job.referenceDirs) {
      std::error_code ignored;
      std::filesystem::path path = std::filesystem::path(dir) / uri;
      if (std::filesystem::is_regular_file(path, ignored)) {
        Result<std::string> bytes = readFileBytes(path.string());
        return bytes.ok() ? bytes : Result<std::string>(kErrXmlReference);
      }
    }
    return kErrXmlReference;
  }

  Visibility visibility;
  if (!uri.empty()) {
    std::string id = uri.substr(1);
    visibility.root = findElement(xmlDocGetRootElement(doc), [&](xmlNode* node) {
      for (const char* name : {"Id", "ID", "id"}) {
        if (hasAttribute(node, name) && attribute(node, name) == id) return true;
      }
      return false;
    });
    if (visibility.root == nullptr) return kErrXmlReference;
  }
  C14nChoice choice;
  if (transforms != nullptr) {
    for (xmlNode* transform = transforms->children; transform != nullptr;
         transform = transform->next) {
      if (transform->type != XML_ELEMENT_NODE) continue;
      if (!isDsig(transform, "Transform")) return kErrXmlTemplate;
      if (attribute(transform, "Algorithm") == kEnveloped) {
        visibility.excluded = signature;
      } else if (!c14nOf(transform, choice)) {
        return kErrXmlTemplate;
      }
    }
  }
  // Same-document references drop comments whatever the canonicalisation says.
  return canonical(doc, visibility, choice, false);
}

// Fixed-size r || s, as XML signatures carry ECDSA values.
Result<std::string> ecdsaRaw(const std::string& derSignature, unsigned bits) {
  gnutls_datum_t in{reinterpret_cast<unsigned char*>(const_cast<char*>(derSignature.data())),
                    static_cast<unsigned>(derSignature.size())};
  gnutls_datum_t r{}, s{};
  if (gnutls_decode_rs_value(&in, &r, &s) < 0) return kErrSign;
  std::size_t size = (bits + 7) / 8;
  auto fixed = [size](const gnutls_datum_t& value) -> std::optional<std::string> {
    std::string_view bytes(reinterpret_cast<const char*>(value.data), value.size);
    while (!bytes.empty() && bytes.front() == '\0') bytes.remove_prefix(1);
    if (bytes.size() > size) return std::nullopt;
    return std::string(size - bytes.size(), '\0') + std::string(bytes);
  };
  auto rText = fixed(r), sText = fixed(s);
  gnutls_free(r.data);
  gnutls_free(s.data);
  if (!rText || !sText) return kErrSign;
  return *rText + *sText;
}

void placeCertificate(xmlNode* signature, const std::string& certificate) {
  xmlNode* keyInfo = dsigChild(signature, "KeyInfo");
  if (keyInfo == nullptr || certificate.empty()) return;
  xmlNode* data = dsigChild(keyInfo, "X509Data");
  if (data == nullptr) {
    if (hasElementChildren(keyInfo)) return;  // the page chose another key form
    data =
        xmlNewChild(keyInfo, signature->ns, reinterpret_cast<const xmlChar*>("X509Data"), nullptr);
  }
  xmlNode* element = dsigChild(data, "X509Certificate");
  if (element == nullptr) {
    if (hasElementChildren(data)) return;
    xmlNewChild(data, signature->ns, reinterpret_cast<const xmlChar*>("X509Certificate"),
                reinterpret_cast<const xmlChar*>(certificate.c_str()));
  } else if (content(element).find_first_not_of(" \t\r\n") == std::string::npos) {
    setContent(element, certificate);
  }
}

}  // namespace

Result<std::string> xmlSignTemplate(const XmlJob& job) {
  if (job.xml.empty()) return kErrMissingParameter;
  if (job.xml.size() > kMaxDataBytes) return kErrTooLarge;
  xmlInitParser();
  // No network, no external entities, no DTD loading: a template is data, not a fetch list.
  Doc doc(xmlReadMemory(job.xml.data(), static_cast<int>(job.xml.size()), nullptr,
                        job.fromFile ? nullptr : "UTF-8",
                        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc || xmlDocGetRootElement(doc.get()) == nullptr) return kErrXmlParse;

  xmlNode* signature = findElement(xmlDocGetRootElement(doc.get()), [&](xmlNode* node) {
    return isDsig(node, "Signature") && (job.signId.empty() || attribute(node, "Id") == job.signId);
  });
  if (signature == nullptr) return kErrXmlNoSignature;
  xmlNode* signedInfo = dsigChild(signature, "SignedInfo");
  xmlNode* signatureValue = dsigChild(signature, "SignatureValue");
  xmlNode* c14nMethod = signedInfo ? dsigChild(signedInfo, "CanonicalizationMethod") : nullptr;
  xmlNode* signatureMethod = signedInfo ? dsigChild(signedInfo, "SignatureMethod") : nullptr;
  if (signedInfo == nullptr || signatureValue == nullptr || c14nMethod == nullptr ||
      signatureMethod == nullptr) {
    return kErrXmlTemplate;
  }

  int references = 0;
  for (xmlNode* reference = signedInfo->children; reference != nullptr;
       reference = reference->next) {
    if (!isDsig(reference, "Reference")) continue;
    ++references;
    xmlNode* digestMethod = dsigChild(reference, "DigestMethod");
    xmlNode* digestValue = dsigChild(reference, "DigestValue");
    if (digestMethod == nullptr || digestValue == nullptr) return kErrXmlTemplate;
    if (!job.computeDigests) {
      if (content(digestValue).find_first_not_of(" \t\r\n") == std::string::npos) {
        return kErrXmlNoDigest;
      }
      continue;
    }
    std::string uri = attribute(digestMethod, "Algorithm");
    const DigestMethod* method = nullptr;
    for (const DigestMethod& known : kDigestMethods) {
      if (uri == known.uri) method = &known;
    }
    if (method == nullptr) return kErrXmlTemplate;
    Result<std::string> data = referenceData(doc.get(), signature, reference, job);
    if (!data.ok()) return data.error;
    Result<std::string> digest = digestOf(data.value, method->digest);
    if (!digest.ok()) return digest.error;
    setContent(digestValue, base64Encode(digest.value));
  }
  if (references == 0) return kErrXmlTemplate;

  if (job.signer != nullptr) {
    std::string uri = attribute(signatureMethod, "Algorithm");
    const SignatureMethod* method = nullptr;
    for (const SignatureMethod& known : kSignatureMethods) {
      if (uri == known.uri) method = &known;
    }
    if (method == nullptr) return kErrXmlTemplate;
    if (method->algorithm != job.signer->algorithm) return kErrKeyType;
    C14nChoice choice;
    if (!c14nOf(c14nMethod, choice)) return kErrXmlTemplate;
    Visibility visibility;
    visibility.root = signedInfo;
    Result<std::string> signedBytes = canonical(doc.get(), visibility, choice, choice.comments);
    if (!signedBytes.ok()) return signedBytes.error;
    Result<std::string> value = job.signer->sign(signedBytes.value, method->digest);
    if (!value.ok()) return value.error;
    if (method->algorithm == GNUTLS_PK_ECDSA) {
      value = ecdsaRaw(value.value, job.signer->bits);
      if (!value.ok()) return value.error;
    }
    setContent(signatureValue, base64Encode(value.value));
    placeCertificate(signature, job.signer->certificateBase64);
  }

  xmlChar* out = nullptr;
  int size = 0;
  const char* encoding = job.keepEncoding && doc->encoding != nullptr
                             ? reinterpret_cast<const char*>(doc->encoding)
                             : "UTF-8";
  xmlDocDumpMemoryEnc(doc.get(), &out, &size, encoding);
  if (out == nullptr) return kErrInternal;
  std::string text(reinterpret_cast<char*>(out), static_cast<std::size_t>(size));
  xmlFree(out);
  return text;
}

Result<std::string> readFileBytes(const std::string& path) {
  if (path.empty()) return kErrMissingParameter;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return kErrFileRead;
  auto size = std::filesystem::file_size(path, error);
  if (error) return kErrFileRead;
  if (size > kMaxDataBytes) return kErrTooLarge;
  std::ifstream in(path, std::ios::binary);
  if (!in) return kErrFileRead;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.gcount() != static_cast<std::streamsize>(bytes.size())) return kErrFileRead;
  return bytes;
}

ErrorCode writeNewFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return kErrMissingParameter;
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) return kErrFileExists;
  // "x": create only; a file that appeared meanwhile is not replaced either.
  std::FILE* file = std::fopen(path.c_str(), "wbx");
  if (file == nullptr) return std::filesystem::exists(path, error) ? kErrFileExists : kErrFileWrite;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0) written = false;
  if (!written) {
    std::filesystem::remove(path, error);
    return kErrFileWrite;
  }
  return kOk;
}

}  // namespace qm::component
