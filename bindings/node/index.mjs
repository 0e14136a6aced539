// ES module entry: the same objects as the CommonJS entry, so a program that
// mixes import and require still loads one library and shares one Wishlist.
import orvel from './index.cjs';

export const {
  ABI_VERSION,
  KINDS,
  LibraryNotFoundError,
  OrvelError,
  Wishlist,
  abiVersion,
  buildMineUrl,
  buildWishRequest,
  buildWishRequestJson,
  loadLibrary,
  selftest,
  validateKind,
  version,
} = orvel;

export default orvel;
