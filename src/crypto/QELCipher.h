#pragma once
// The page cipher suite: block ciphers, key hashes and page encryption.

#include "crypto/BlockCiphers.h"
#include "crypto/Cipher.h"
#include "crypto/CipherExceptions.h"
#include "crypto/Hash.h"
#include "crypto/PageCipher.h"
