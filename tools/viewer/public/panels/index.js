// Feature panels in toolbar order; each name is a module in this folder.
export default ['clipboard', 'terminal', 'privacy', 'wol', 'power'];
export default ['annotate'];
