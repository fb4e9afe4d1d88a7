// PENDING: placeholder so the tree links while this module is written; replaced by the module itself.
