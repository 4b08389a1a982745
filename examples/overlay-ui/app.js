// The sample overlay page: shows where it is served from and a running clock.
document.getElementById('origin').textContent = location.origin;
function tick() {
  document.getElementById('clock').textContent = new Date().toLocaleTimeString();
}
tick();
setInterval(tick, 1000);
