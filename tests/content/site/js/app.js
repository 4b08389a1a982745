export function greet(name) {
  return `Hello, ${name}!`;
}
document.addEventListener('DOMContentLoaded', () => {
  document.title = greet('overlay');
});
