// Feature panels in toolbar order; each name is a module in this folder.
export default ['chat'];
