// CoreFoundation runtime: object header, retain and release, type IDs.
