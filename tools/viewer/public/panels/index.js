// Feature panels in toolbar order; each name is a module in this folder.
export default ['clipboard', 'chat', 'files', 'terminal', 'recording', 'annotate', 'privacy', 'wol', 'power'];
